// Identifiers of words already in the Words table, remembered so that a
// flush need not look up every common word again.
//
// Valid because rows of Words are never deleted or renumbered (compaction
// keeps INTEGER PRIMARY KEY values): an identifier learned from a committed
// transaction stays right for the life of the database file. The module
// forgets everything whenever it opens or closes a database. Guarded by the
// write mutex, like the rest of the module state.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "indexstore/word_key.h"
#include "platform/types.h"

namespace ordalis {

class WordIdCache {
 public:
  // The identifier of `word` (compared like Words.Word: A-Z and a-z alike),
  // or 0 when it is not known.
  [[nodiscard]] std::int64_t Find(std::u16string_view word) const;
  // Remembers one identifier. In the module's cache only identifiers of a
  // committed transaction; a transaction collects its own in a cache of its
  // own (unbounded: one entry per word it added) and hands it to Learn.
  void Add(const WString& word, std::int64_t id) { ids_.emplace(word, id); }
  // Remembers identifiers learned by a transaction that has committed.
  void Learn(WordIdCache&& learned);
  void Clear() { ids_.clear(); }

 private:
  // Bounds the memory to a few tens of MiB; a full cache starts over.
  static constexpr std::size_t kMaxWords = 1u << 18;

  std::unordered_map<WString, std::int64_t, WordKeyHash, WordKeyEqual> ids_;
};

}  // namespace ordalis
