// Reading a whole result set in one call: the index store's interface for
// callers that take every row of a set at once (`trovix search` prints them
// all). Objects of class TrovixDB hand it out through
// QueryInterface(IID_ITrovixResultRows); ITrovixDB, and SearchNext with it,
// is unchanged beside it.
//
// Why: SearchNext costs a call per row, and each call takes the module's
// critical section, runs a three-table lookup in a read transaction of its
// own (two lock calls) and widens the path into a fixed 572-byte record. A
// set of tens of thousands of files then spends most of its time there.
// ReadResultRows reads the set in one read transaction, looks each file up
// by its identifier alone (stepping to it when it is near), finds folder
// paths in a table built during the call, and hands out the stored UTF-8
// path.
//
// Invariants:
//  1. The rows are those SearchNext gives for the same set, in the set's
//     order, one per identifier (an identifier the set holds twice is
//     reported twice), with the same values: the path is the UTF-8 of
//     SearchNext's path (the stored bytes, so a name that is not UTF-8 keeps
//     its bytes), and each field of the record is there.
//  2. An identifier with no catalogue row (a file that left the catalogue
//     after the set was made, or a candidate of SearchOpenWordCandidates
//     that had left it before) is skipped, where SearchNext stops on it.
//  3. The set is only read: its read position and contents stay as they
//     were, so SearchNext, SearchRewind and the combining methods see it
//     unchanged.
//  4. Every row comes from one snapshot of the database: a writer of another
//     process that commits during the call changes none of them.
//
// Threads: as SearchNext. The call holds the module's critical section
// while it reads, sink calls included; a sink must not call the index store
// and should not take long (other searches of the process wait meanwhile).
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixResultRows = MakeGuid("{3A82D331-5260-424B-A7A8-25A4FB4689B2}");

// One row of a result set. `path` (drive + directory + file name, UTF-8
// bytes, not terminated) is valid during the sink call only.
struct ResultRow {
  const char* path;
  UINT path_bytes;
  INT file_id;
  INT checksum;
  FILETIME creation;
  FILETIME modification;
  FILETIME last_access;
  FILETIME last_update;  // when the catalogue row was last written
  INT status;
  UINT size_lo32;  // low half of the file size
};

struct IResultRowSink {
  // S_OK goes on; any other answer ends the read and is ReadResultRows's
  // answer.
  [[nodiscard]] virtual HRESULT Row(const ResultRow& row) = 0;

 protected:
  ~IResultRowSink() = default;
};

struct ITrovixResultRows : IUnknown {
  // SearchOpenWord for a set that will be read with ReadResultRows: the
  // same query syntax, answers and log records, except that the set may also
  // hold files that left the catalogue while their word rows stay (until a
  // compaction removes them), which the reading skips. So its size is not a
  // count of catalogued files, and SearchNext stops on such a file. In
  // exchange a word costs a step in the word index per file, without a
  // lookup in the catalogue that the reading repeats. Holds the critical
  // section only, as SearchOpenFileType, so it does not wait for another
  // process's batch.
  [[nodiscard]] virtual HRESULT SearchOpenWordCandidates(const WCHAR* s, UINT* phSearch) = 0;

  // Reports every row of the set `hSearch` to `sink`, first to last,
  // whatever its read position. S_OK when every identifier had its row;
  // S_FALSE when some were skipped (invariant 2); E_INVALIDARG for a null
  // sink or a handle naming no set (nothing reported); E_UNEXPECTED while
  // the connection is closed or a compaction of this process runs; the
  // sink's answer when it stopped; an engine failure (logged), after the
  // rows read before it.
  [[nodiscard]] virtual HRESULT ReadResultRows(UINT hSearch, IResultRowSink* sink) = 0;
};
