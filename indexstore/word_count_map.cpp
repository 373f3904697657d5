#include "indexstore/word_count_map.h"

#include <algorithm>

namespace ordalis {

UINT WordCountMap::CountWord(std::u16string_view word) {
  if (word.empty()) return 0;
  word = word.substr(0, kMaxWordLength);
  // Found by view first: most words are seen before, and need no copy.
  if (const auto found = counts_.find(word); found != counts_.end()) return ++found->second;
  counts_.emplace(WString(word), 1);
  return 1;
}

std::vector<std::pair<WString, UINT>> WordCountMap::TakeSorted() {
  std::vector<std::pair<WString, UINT>> entries(std::make_move_iterator(counts_.begin()),
                                                std::make_move_iterator(counts_.end()));
  counts_.clear();
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return WordKeyLess(a.first, b.first); });
  return entries;
}

}  // namespace ordalis
