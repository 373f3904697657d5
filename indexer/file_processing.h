// Bringing one file's catalogue entry and words up to date, the same way
// for the drive scanner and the command-line tool.
#pragma once

#include <string>

#include "platform/types.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {

// The files of the index store itself (database, its journal files, the
// log): reading them would feed the index its own content, and opening the
// database outside the engine would break the engine's locks.
class IndexStoreFiles {
 public:
  // Asks the index store for its paths. When it cannot answer, every path
  // counts as an index store file (nothing is indexed rather than something
  // dangerous).
  [[nodiscard]] static IndexStoreFiles Query(ITrovixDB* store);
  // `path` in canonical form (symbolic links resolved) compared exactly.
  [[nodiscard]] bool Contains(const std::string& path) const;
  // False when the index store could not tell its paths (its database is
  // not open): every path then counts as its own.
  [[nodiscard]] bool known() const { return known_; }

 private:
  bool known_ = false;
  std::string database_;
  std::string log_;
};

enum class FileOutcome {
  kIndexed,     // its words were (re)written
  kUnchanged,   // catalogued, current and indexed: nothing to do
  kPartial,     // indexing stopped part-way, or the text was only partly read
  kNoFilter,    // no content filter reads this type
  kTooLong,     // the path is longer than the catalogue holds: not catalogued
  kTooLarge,    // over kMaxIndexedFileSize: catalogued, no words read
  kUnreadable,  // the file could not be opened or read (permissions, I/O)
  // The database failed for a reason outside the file (disk full, I/O
  // error, busy or locked, damaged, not open): the file is to be tried again
  // once the store works; nothing about the file itself is known.
  kStoreUnavailable,
  kFailed,  // the index store refused the file for another reason
};

// True for the outcomes that leave the file's entry and words current (or
// deliberately without words by a documented rule).
[[nodiscard]] bool IsSettled(FileOutcome outcome);

// True when `hr` reports a failure of the database or the disk it lives on
// rather than of the file being processed: disk full, I/O error, busy or
// locked database, database not open (E_UNEXPECTED), cannot open, read-only,
// damaged. Engine codes only: an operating-system code such as "file not
// found" may as well be the processed file's.
[[nodiscard]] bool IsStoreFailure(HRESULT hr);

// True when `hr` says the database file is not a database or is damaged.
[[nodiscard]] bool IsDatabaseDamaged(HRESULT hr);

// Processes `path` with a fresh index store object: catalogues it when new
// (AddFile) or changed (UpdateFile), then indexes its words, replacing the
// old ones. `keep_going` is IndexFile's continue flag. `*status` (if given)
// receives the status behind a failure outcome (S_OK otherwise). The calling
// thread must have initialised the component library.
[[nodiscard]] FileOutcome ProcessFile(const std::string& path, UINT* keep_going,
                                      HRESULT* status = nullptr);

// The outcome of a file whose indexing (IndexFile, or a batch's
// WritePrepared) answered `hr`, after its entry was written. `*status` (if
// given) receives the status behind a failure outcome (S_OK otherwise).
[[nodiscard]] FileOutcome OutcomeOfIndexing(const std::string& path, HRESULT hr,
                                            HRESULT* status = nullptr);

// A short English reason for an outcome, for summaries and logs ("path too
// long", "larger than 100 MiB", ...); empty for kIndexed and kUnchanged.
[[nodiscard]] const char* OutcomeReason(FileOutcome outcome);

}  // namespace trovix::indexer
