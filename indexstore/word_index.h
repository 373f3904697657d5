// Writing a file's words to the index.
#pragma once

#include "indexstore/word_count_map.h"
#include "indexstore/word_id_cache.h"
#include "shared/index_limits.h"

namespace ordalis {

// More distinct words than this waiting at the end of a chunk are flushed.
inline constexpr std::size_t kFlushThreshold = 200;
// Files larger than this are not indexed.
using trovix::kMaxIndexedFileSize;

// Writes the counts of `map` for file `file_id` to Words and FilesWords in
// one transaction under the write mutex, smallest key first, and empties the
// map whatever happens. Before each word the first byte of `*keep_going` (if
// given) is read: 0 rolls the transaction back and answers E_ABORT. Other
// failures are logged, roll back and are returned. `*flushed` (if given)
// receives the number of words handled.
[[nodiscard]] HRESULT FlushWordCounts(WordCountMap& map, INT file_id, const UINT* keep_going,
                                      UINT* flushed);

// True when the caller's continue flag (only its first byte is read) asks
// to stop; false for a null flag.
[[nodiscard]] bool StopRequested(const UINT* keep_going);

// Inside the caller's transaction and write mutex: adds the counts of
// `entries` (smallest key first) to file `file_id`'s, looking each word up
// (the module's cache, then `*learned`, then Words) or adding it to Words.
// Words in neither cache go to `*learned`, which the caller hands to the
// module's cache once the transaction has committed; a transaction that
// writes many files thus looks each new word up in Words once. Reads the
// continue flag before each word: E_ABORT when it is 0. Raises a failure.
// `*handled` is raised per word written.
[[nodiscard]] HRESULT WriteWordCounts(const std::vector<std::pair<WString, UINT>>& entries,
                                      INT file_id, const UINT* keep_going, WordIdCache* learned,
                                      UINT* handled);

// Inside the caller's transaction and write mutex: makes file `file_id`'s
// words exactly `entries` (counts of words that differ only in the case of
// A-Z add up, as in WriteWordCounts), looking words up as WriteWordCounts
// does. Only the rows that change are written: a word kept with its count
// costs a read, one whose count changed an update of the file's own row,
// and only words gained or lost touch the word-to-file index. A file edited
// in one place so dirties a few pages instead of one per word it holds.
// Answers whether the file had words before. Raises a failure.
[[nodiscard]] bool ReplaceWordCounts(const std::vector<std::pair<WString, UINT>>& entries,
                                     INT file_id, WordIdCache* learned);

// True when the file at `path` is larger than kMaxIndexedFileSize bytes;
// false when its size cannot be read. Never opens the file.
[[nodiscard]] bool IsFileTooLarge(const std::string& path);

}  // namespace ordalis
