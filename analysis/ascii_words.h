// Word boundaries of ASCII text without ICU: the word rules of Unicode's
// text segmentation (UAX #29) restricted to ASCII, as ICU applies them.
//
// Most text that is indexed is ASCII, and ICU's break iterator costs about
// 20 ns a character where this scan costs a few. The two must agree exactly
// on every ASCII text (a test compares them on random and real text):
//  - letters (and "@", which ICU's rules count as a letter) and digits join
//    each other, and "_" joins both sides (WB5, WB8–WB10, WB13a/b);
//  - "." and "'" join two letters or two digits (WB6/7, WB11/12);
//  - "," and ";" join two digits (WB11/12);
//  - everything else, ":" included, is a boundary on both sides (WB999).
#pragma once

#include <cstddef>
#include <string_view>

namespace trovix::analysis {

// True when every unit of `text` is ASCII, so that ScanAsciiWords applies.
[[nodiscard]] bool IsAsciiText(std::u16string_view text);

// Calls `on_word(start, end)` for each word of the ASCII `text` (offsets in
// units), in order: every segment of ICU's word iterator that holds a letter
// or a digit, and possibly segments of "@" alone (ICU gives those a word's
// status too; they hold no term).
template <typename OnWord>
void ScanAsciiWords(std::u16string_view text, OnWord&& on_word);

namespace ascii_detail {

enum Class : unsigned char { kOther, kLetter, kDigit, kJoiner, kMidNumLet, kMidNum };

constexpr Class ClassOf(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') || unit == u'@') {
    return kLetter;
  }
  if (unit >= u'0' && unit <= u'9') return kDigit;
  if (unit == u'_') return kJoiner;
  if (unit == u'.' || unit == u'\'') return kMidNumLet;
  if (unit == u',' || unit == u';') return kMidNum;
  return kOther;
}

}  // namespace ascii_detail

template <typename OnWord>
void ScanAsciiWords(std::u16string_view text, OnWord&& on_word) {
  using namespace ascii_detail;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    Class last = ClassOf(text[i]);
    if (last != kLetter && last != kDigit && last != kJoiner) {
      ++i;
      continue;
    }
    const std::size_t start = i++;
    bool word = last != kJoiner;  // a run of "_" alone is no word
    while (i < n) {
      const Class next = ClassOf(text[i]);
      if (next == kLetter || next == kDigit || next == kJoiner) {
        word = word || next != kJoiner;
        last = next;
        ++i;
        continue;
      }
      // A middle mark joins only when the same kind stands on both sides.
      const bool middle = next == kMidNumLet || (next == kMidNum && last == kDigit);
      if (!middle || i + 1 >= n || (last != kLetter && last != kDigit)) break;
      if (ClassOf(text[i + 1]) != last) break;
      i += 2;
    }
    if (word) on_word(start, i);
  }
}

}  // namespace trovix::analysis
