// trovix stats, trovix duplicates and trovix compact.
#pragma once

#include <ostream>
#include <string>

namespace trovix::cli {

// Prints the counters, the database's size and reclaimable space, the last
// indexed file and where the files are. Returns 0, or 2 (with a message on
// `err`) when the files could not be counted or a counter could not be read,
// as on a damaged database.
int RunStats(std::ostream& out, std::ostream& err);
// Prints the catalogued files with the same content as `file`. Returns 0 when
// there is at least one, 1 when none, 2 on error.
int RunDuplicates(const std::string& file, std::ostream& out, std::ostream& err);
// Compacts the database and prints the space won. Returns 0, or 2 on error.
int RunCompact(std::ostream& out, std::ostream& err);

}  // namespace trovix::cli
