// The index store's interface for processes that only read: a search, a
// look for duplicates. Objects of class TrovixDB hand it out through
// QueryInterface(IID_ITrovixReader); ITrovixDB is unchanged beside it.
//
// Why: Init takes the statistics counters out of the user's registry hive
// and Cleanup writes them back, two rewrites of the hive file per process.
// A process that indexes nothing changes no counter, so for it those writes
// are pure cost; worse, while an indexer holds the counters in memory (the
// hive has none), such a process would recount them from the database and
// save its count over the hive on the way out.
//
// States (shared with Init and Cleanup: there is one connection per process):
//  1. closed — OpenForReading opens the connection for reading (to 2); Init
//     opens it for writing.
//  2. open for reading — the search methods, the duplicate methods and the
//     getters that read the catalogue work as after Init. Methods that would
//     change the database fail with the engine's read-only code (logged);
//     the statistics getters that need loaded counters answer E_UNEXPECTED,
//     as before Init. CloseForReading (or Cleanup) returns to 1.
//
// Invariants:
//  1. Opening and closing for reading read nothing from and write nothing to
//     the registry: the counters stay wherever they are, in the hive or in
//     the memory of a writer that runs at the same time.
//  2. The connection cannot change the database file: the engine opens it
//     read-only, so no method called in between writes either.
//  3. The checks of the open step are those of Init: a missing file, a file
//     of another program, a wrong password or a missing table is refused
//     with the same status code and log record, and the file is not touched.
//
// Threads: as ITrovixDB. The open and close steps take the write mutex, so
// they never run beside another process's compaction or repair.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixReader = MakeGuid("{33BE1A4A-CEAC-492D-9440-9305FAE49E50}");

struct ITrovixReader : IUnknown {
  // Opens the database at the current path for reading. S_OK; E_UNEXPECTED
  // when the connection is already open (by either step); otherwise the
  // failure Init would answer for the same file (logged), with nothing open.
  [[nodiscard]] virtual HRESULT OpenForReading() = 0;
  // Closes a connection that OpenForReading opened. S_OK; E_UNEXPECTED when
  // the connection is not open, or was opened by Init (its Cleanup saves the
  // counters).
  [[nodiscard]] virtual HRESULT CloseForReading() = 0;
};
