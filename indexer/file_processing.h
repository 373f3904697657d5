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

 private:
  bool known_ = false;
  std::string database_;
  std::string log_;
};

enum class FileOutcome {
  kIndexed,    // its words were (re)written
  kUnchanged,  // catalogued, current and indexed: nothing to do
  kPartial,    // indexing stopped, or the file is too large or partly read
  kNoFilter,   // no content filter reads this type
  kFailed,     // the index store refused the file
};

// Processes `path` with a fresh index store object: catalogues it when new
// (AddFile) or changed (UpdateFile), then indexes its words, replacing the
// old ones. `keep_going` is IndexFile's continue flag. The calling thread
// must have initialised the component library.
[[nodiscard]] FileOutcome ProcessFile(const std::string& path, UINT* keep_going);

}  // namespace trovix::indexer
