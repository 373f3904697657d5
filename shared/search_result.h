// Search result sets and the handles that name them.
//
// A result set is an ordered list of file identifiers with a read position.
// Sets are kept in one table per process, here in the shared library rather
// than in the index store module, for two reasons: the search panel makes sets
// of its own and passes their handles to the index store's combining methods,
// and a set must outlive the unloading of the index store module (the panel
// keeps its sets while the module is unloaded when idle). For the same reason
// SearchResult has no virtual functions, and its destructor and every member
// that allocates are defined in this library: nothing of a set may point into
// a module that can be unloaded.
//
// Threads: the handle table is guarded by its own mutex, so handles may be
// registered, found and closed from any thread. A set itself is not locked:
// one handle is used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/types.h"

namespace trovix {

// The record SearchNext fills at the caller's address: fixed field order and
// widths, no padding, so that callers in any language can read it.
struct SearchResultRecord {
  // Drive + directory + file name, terminated. A path longer than MAX_PATH
  // units is cut to MAX_PATH + 1 (so told from a whole one); ResultRow of
  // shared/itrovixresultrows.h carries it whole.
  WCHAR path[262];
  INT FileID;
  INT Checksum;
  FILETIME CreationDateTime;
  FILETIME ModificationDateTime;
  FILETIME LastAccessDateTime;
  FILETIME TXLastUpdate;
  INT Status;
  UINT SizeLo32;  // low half of the file size
};
static_assert(sizeof(SearchResultRecord) == 572, "the record has no padding");
static_assert(offsetof(SearchResultRecord, FileID) == 524);
static_assert(offsetof(SearchResultRecord, CreationDateTime) == 532);
static_assert(offsetof(SearchResultRecord, Status) == 564);

// File identifiers and a read position, which is an element of the list or
// its end (position() == size()).
class SearchResult {
 public:
  SearchResult();
  explicit SearchResult(std::vector<INT> ids);
  ~SearchResult();
  SearchResult(const SearchResult&) = delete;
  SearchResult& operator=(const SearchResult&) = delete;

  [[nodiscard]] const std::vector<INT>& ids() const { return ids_; }
  [[nodiscard]] std::size_t size() const { return ids_.size(); }
  [[nodiscard]] std::size_t position() const { return position_; }
  [[nodiscard]] bool AtEnd() const { return position_ >= ids_.size(); }
  // The identifier at the read position; the set must not be AtEnd().
  [[nodiscard]] INT Current() const { return ids_[position_]; }

  void Append(INT id);
  // Replaces the identifiers; the read position goes back to the first.
  void Assign(std::vector<INT> ids);
  // Moves the read position to the next element (or the end).
  void Advance();
  // Read position back to the first identifier.
  void Rewind() { position_ = 0; }
  // Removes every identifier; the read position is the end.
  void Clear();

 private:
  std::vector<INT> ids_;
  std::size_t position_ = 0;
};

// Takes ownership of `result` and answers its handle: never 0, and not
// handed out again while the set is open. 0 only when `result` is null or
// memory runs out (the set is then destroyed).
[[nodiscard]] UINT RegisterSearchResult(std::unique_ptr<SearchResult> result);

// The set named by `handle`, or null for 0 and for handles not open. The
// pointer stays valid until the handle is closed.
[[nodiscard]] SearchResult* FindSearchResult(UINT handle);

// Destroys the set named by `handle`; false when no set has that handle.
bool CloseSearchResult(UINT handle);

}  // namespace trovix
