// Markup text gathered as UTF-8 with white-space runs folded into one space.
//
// Invariants: the text never starts with a space and never holds two in a
// row; it is cut only between characters; it never grows past a byte limit
// that covers the unit cap it was made for (one UTF-16 unit never takes more
// than three UTF-8 bytes).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace docfilter {

class Collector {
 public:
  explicit Collector(std::size_t max_units) : limit_(max_units * 3 + 3) {}

  void Append(std::string_view text);
  // The next text starts a new word.
  void Break() { space_ = true; }
  // Text was refused at the limit.
  bool full() const { return full_; }
  const std::string& utf8() const { return utf8_; }
  // Hands over the text gathered so far when it holds at least `min_bytes`
  // and the next text starts a new word (so no word is split between two
  // takes); empty otherwise.
  std::string TakeAtWordEnd(std::size_t min_bytes);

 private:
  const std::size_t limit_;
  std::string utf8_;
  bool space_ = false;
  bool full_ = false;
};

}  // namespace docfilter
