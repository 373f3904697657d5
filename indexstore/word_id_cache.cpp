#include "indexstore/word_id_cache.h"

namespace ordalis {

std::int64_t WordIdCache::Find(std::u16string_view word) const {
  const auto found = ids_.find(word);
  return found != ids_.end() ? found->second : 0;
}

void WordIdCache::Learn(std::vector<std::pair<WString, std::int64_t>>&& learned) {
  if (ids_.size() + learned.size() > kMaxWords) ids_.clear();
  for (auto& [word, id] : learned) ids_.emplace(std::move(word), id);
}

}  // namespace ordalis
