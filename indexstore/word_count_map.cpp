#include "indexstore/word_count_map.h"

#include <algorithm>

namespace ordalis {
namespace {

constexpr WCHAR Fold(WCHAR unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

}  // namespace

UINT WordCountMap::CountWord(std::u16string_view word) {
  if (word.empty()) return 0;
  word = word.substr(0, kMaxWordLength);
  // try_emplace keeps the stored spelling when the key exists already.
  return ++counts_.try_emplace(WString(word), 0).first->second;
}

std::vector<std::pair<WString, UINT>> WordCountMap::TakeSorted() {
  std::vector<std::pair<WString, UINT>> entries(std::make_move_iterator(counts_.begin()),
                                                std::make_move_iterator(counts_.end()));
  counts_.clear();
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return KeyLess(a.first, b.first); });
  return entries;
}

bool WordCountMap::KeyLess(std::u16string_view a, std::u16string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](WCHAR x, WCHAR y) { return Fold(x) < Fold(y); });
}

std::size_t WordCountMap::FoldedHash::operator()(const WString& word) const {
  std::size_t hash = 1469598103934665603ull;  // FNV-1a over the folded units
  for (const WCHAR unit : word) hash = (hash ^ Fold(unit)) * 1099511628211ull;
  return hash;
}

bool WordCountMap::FoldedEqual::operator()(const WString& a, const WString& b) const {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](WCHAR x, WCHAR y) { return Fold(x) == Fold(y); });
}

}  // namespace ordalis
