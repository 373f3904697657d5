// The words of one file and how often each occurs, collected in memory
// before they are written to the index.
//
// Keys are the first kMaxWordLength units of a word. Two words that differ
// only in the case of a-z are one key, which keeps the spelling seen first;
// every other unit (é, Ä, ...) compares exactly. Owned by one IndexFile call.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "indexstore/tokenizer.h"
#include "indexstore/word_key.h"
#include "platform/types.h"

namespace ordalis {

class WordCountMap {
 public:
  // Adds one occurrence of `word` (cut to kMaxWordLength units) and returns
  // its new count; 0 for an empty word.
  UINT CountWord(std::u16string_view word);

  [[nodiscard]] std::size_t size() const { return counts_.size(); }
  [[nodiscard]] bool empty() const { return counts_.empty(); }

  // Takes every entry out in key order (smallest first), leaving the map
  // empty.
  [[nodiscard]] std::vector<std::pair<WString, UINT>> TakeSorted();

 private:
  std::unordered_map<WString, UINT, WordKeyHash, WordKeyEqual> counts_;
};

}  // namespace ordalis
