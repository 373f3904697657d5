// How words compare as keys: unit by unit, with the letters a-z taken as
// A-Z and every other unit (é, Ä, ...) compared exactly, the way Words.Word
// compares in the database. Hash and equality are transparent, so a map of
// owned words can be searched with a view without copying it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "platform/types.h"

namespace ordalis {

constexpr WCHAR FoldWordUnit(WCHAR unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 32) : unit;
}

struct WordKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::u16string_view word) const {
    std::size_t hash = 1469598103934665603ull;  // FNV-1a over the folded units
    for (const WCHAR unit : word) hash = (hash ^ FoldWordUnit(unit)) * 1099511628211ull;
    return hash;
  }
};

struct WordKeyEqual {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](WCHAR x, WCHAR y) {
             return FoldWordUnit(x) == FoldWordUnit(y);
           });
  }
};

// The order of keys; a prefix is smaller than the longer word.
inline bool WordKeyLess(std::u16string_view a, std::u16string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](WCHAR x, WCHAR y) {
    return FoldWordUnit(x) < FoldWordUnit(y);
  });
}

}  // namespace ordalis
