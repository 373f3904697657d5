#include "filters/filter_host/text_collector.h"

namespace docfilter {
namespace {

bool IsAsciiSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

void Collector::Append(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsAsciiSpace(c)) {
      space_ = true;
      continue;
    }
    const bool starts_character = (c & 0xC0) != 0x80;
    if (starts_character && utf8_.size() >= limit_) {
      full_ = true;
      return;
    }
    if (space_ && starts_character && !utf8_.empty()) utf8_.push_back(' ');
    space_ = false;
    utf8_.push_back(ch);
  }
}

std::string Collector::TakeAtWordEnd(std::size_t min_bytes) {
  if (!space_ || utf8_.size() < min_bytes) return {};
  std::string taken;
  taken.swap(utf8_);
  return taken;
}

}  // namespace docfilter
