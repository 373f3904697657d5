#include "analysis/ascii_words.h"

#include <algorithm>

namespace trovix::analysis {

bool IsAsciiText(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t unit) { return unit < 0x80; });
}

}  // namespace trovix::analysis
