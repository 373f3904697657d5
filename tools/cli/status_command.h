// trovix status, trovix pause and trovix resume.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trovix::cli {

// Asks the running indexer what it does, and adds the last scan of each root
// (from the registry) and the index's counts and size (from the database).
// Returns 0; 3 when no indexer runs or it does not answer (said on `out`);
// 2 when the database cannot be read.
int RunStatus(bool json, std::ostream& out, std::ostream& err);

// `args` after "pause": none, or "--for DURATION". The pause is recorded
// (it outlives a restart of the indexer, and holds for one started later)
// and a running indexer is told. Returns 0, or 2 for a bad duration or a
// registry that cannot be written.
int RunPause(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunResume(std::ostream& out, std::ostream& err);

}  // namespace trovix::cli
