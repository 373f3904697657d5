// trovix index: catalogue and index files and folders now.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trovix::cli {

// Indexes each path (a file, or every indexable file below a folder) with
// the indexer's per-file steps. Shows a progress line when `err` is a
// terminal (`progress`), and a summary at the end. SIGINT and SIGTERM stop
// the run cleanly (the counters are saved). Returns 0, or 2 when a path
// could not be read or the index store could not be opened.
int RunIndex(const std::vector<std::string>& paths, bool progress, std::ostream& out,
             std::ostream& err);

}  // namespace trovix::cli
