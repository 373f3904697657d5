// "kestine.running" in the suite's state folder: it exists from the start of
// the indexer to a clean stop that saved the backlog of changes.
//
// Found at start, it says that the previous run ended without that stop
// (killed, crashed, the power lost, or its backlog could not be saved for a
// full disk): changes its monitors had seen may never have reached the
// index, so every root must be walked again. Walking a root that is current
// costs a look at each file's size and time; losing changes costs a wrong
// index until the next scheduled walk, days later.
//
// The file holds the process id of the run that made it, for people.
#pragma once

#include <string>

namespace trovix::indexer {

// $XDG_STATE_HOME/Quillon/kestine.running; empty when no state folder is
// known.
[[nodiscard]] std::string RunMarkerPath();

// True when the marker at `path` exists (an empty path: false).
[[nodiscard]] bool RunMarkerExists(const std::string& path);

// Makes the marker durable before the first change can be seen: written,
// flushed and renamed into place. Creates the state folder (0700) when
// missing. Returns 0 or the errno value.
[[nodiscard]] int CreateRunMarker(const std::string& path);

// Removes the marker; a missing one counts as removed. Returns 0 or the
// errno value.
[[nodiscard]] int RemoveRunMarker(const std::string& path);

}  // namespace trovix::indexer
