// trovix repair: checks the index database and, when it is damaged or
// missing, keeps the old file aside and puts a new empty database in its
// place.
#pragma once

#include <ostream>

namespace trovix::cli {

// Runs on the database at its default location while holding the suite's
// write mutex, so that no index store of another process writes the file
// between the check and the move. Exit status: 0 when the database was
// healthy (nothing changed) or has been replaced; 2 when it could not be
// judged (locked, busy, unreadable) or replacing it failed, with nothing
// changed unless the message says otherwise.
[[nodiscard]] int RunRepair(std::ostream& out, std::ostream& err);

}  // namespace trovix::cli
