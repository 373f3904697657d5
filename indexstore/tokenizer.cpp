#include "indexstore/tokenizer.h"

#include <array>
#include <cstdint>

namespace ordalis {
namespace {

struct UnitRange {
  WCHAR first;
  WCHAR last;
};

#include "indexstore/unicode_ranges.inc"

// One bit per BMP code unit: classifying a unit is one load and a mask.
class UnitSet {
 public:
  template <std::size_t N>
  constexpr explicit UnitSet(const UnitRange (&ranges)[N]) : bits_{} {
    for (const UnitRange& range : ranges) {
      for (std::uint32_t unit = range.first; unit <= range.last; ++unit) {
        bits_[unit >> 6] |= std::uint64_t{1} << (unit & 63);
      }
    }
  }
  constexpr bool Has(WCHAR unit) const { return (bits_[unit >> 6] >> (unit & 63)) & 1; }

 private:
  std::array<std::uint64_t, 1024> bits_;
};

constexpr UnitSet kWordUnits(kWordRanges);
constexpr UnitSet kDigitUnits(kDigitRanges);

// The bad units are never word units, so no token can hold one; the check
// stays for text that reaches AcceptWord by other roads.
static_assert(!kWordUnits.Has(0xFEFF) && !kWordUnits.Has(0xFFEF));

}  // namespace

bool IsWordUnit(WCHAR unit, bool query_mode) {
  return kWordUnits.Has(unit) || unit == u'_' || (query_mode && unit == u'*');
}

bool IsDigitUnit(WCHAR unit) { return kDigitUnits.Has(unit); }

WCHAR* NextToken(WCHAR* text, WCHAR** context, bool query_mode) {
  WCHAR* p = text != nullptr ? text : *context;
  while (*p != 0 && !IsWordUnit(*p, query_mode)) ++p;
  if (*p == 0) {
    *context = p;
    return nullptr;
  }
  WCHAR* const token = p;
  while (*p != 0 && IsWordUnit(*p, query_mode)) ++p;
  if (*p != 0) *p++ = 0;
  *context = p;
  return token;
}

bool HasBadCodeUnit(std::u16string_view token) {
  return token.find_first_of(u"\uFEFF\uFFEF") != std::u16string_view::npos;
}

bool AcceptWord(std::u16string_view token) {
  return token.size() > 2 && token[0] != 0 && !IsDigitUnit(token[0]);
}

void WordScanner::Hold(std::u16string_view part) {
  holding_ = true;
  const std::size_t room = kMaxWordLength - held_size_;
  const std::size_t take = std::min(room, part.size());
  std::copy_n(part.begin(), take, held_ + held_size_);
  held_size_ += take;
}

}  // namespace ordalis
