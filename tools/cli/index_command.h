// trovix index: catalogue and index files and folders now.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trovix::cli {

// Indexes each path (a file, or every indexable file below a folder that the
// skip rules do not leave out; a named path itself is never skipped) with
// the indexer's per-file steps, then removes from the catalogue what is no
// longer there: below a folder whose walk ran to its end, every catalogued
// file that is no longer an indexable regular file; a named path that no
// longer exists, with whatever was catalogued at or below it. Below a walked
// folder, what lies in a skipped folder is removed too.
//
// Shows a progress line when `err` is a terminal (`terminal`; names on it
// are then escaped), a summary on `out`, and on `err` the first failed files
// with their reasons. A file the database fails on is tried again a few
// times; if the database still fails, the run stops. SIGINT and SIGTERM
// stop the run cleanly (the counters are saved).
//
// Returns 0 when every file was indexed or left out by a documented rule
// (not indexable, unchanged, no filter, path too long, too large); 1 when
// some files failed (unreadable, refused) or were only partly read (a
// damaged document, or text beyond the cap), or the run was stopped; 2 when the run could not
// proceed (the store cannot be opened, the database failed) or a named path
// neither exists nor was catalogued.
int RunIndex(const std::vector<std::string>& paths, bool terminal, std::ostream& out,
             std::ostream& err);

}  // namespace trovix::cli
