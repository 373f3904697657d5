// The positions of a term in a file's text, as FileTerms.Positions keeps
// them: ascending, each written as its distance from the one before (the
// first from 0) in unsigned LEB128 (7 bits a byte, the high bit set on every
// byte but the last). A term of a common word costs a byte an occurrence.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordalis {

inline void AppendVarint(std::string* out, std::uint32_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

// Reads a position list. A list cut short or damaged ends early: Next then
// answers false, as at the end.
class PositionReader {
 public:
  explicit PositionReader(std::string_view bytes) : bytes_(bytes) {}

  // The next position into `*position`; false at the end.
  bool Next(std::uint32_t* position) {
    std::uint32_t delta = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      if (at_ >= bytes_.size()) return false;
      const auto byte = static_cast<unsigned char>(bytes_[at_++]);
      delta |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) {
        last_ += delta;
        *position = last_;
        return true;
      }
    }
    at_ = bytes_.size();  // a varint longer than 32 bits: damaged
    return false;
  }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  std::uint32_t last_ = 0;
};

}  // namespace ordalis
