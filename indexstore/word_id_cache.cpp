#include "indexstore/word_id_cache.h"

namespace ordalis {

std::int64_t WordIdCache::Find(std::u16string_view word) const {
  const auto found = ids_.find(word);
  return found != ids_.end() ? found->second : 0;
}

void WordIdCache::Learn(WordIdCache&& learned) {
  if (ids_.size() + learned.ids_.size() > kMaxWords) ids_.clear();
  ids_.merge(learned.ids_);
  learned.ids_.clear();
}

}  // namespace ordalis
