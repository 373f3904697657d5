// Telling a damaged database file from a healthy one, and replacing a
// damaged one with a new empty database while keeping the old file.
//
// Neither function takes the suite's write mutex ("TrovixWriteMutex"): the
// caller holds it across the check and the move, so that no index store
// writes the file in between.
#pragma once

#include <string>

#include "platform/types.h"

namespace trovix {

enum class DatabaseCondition {
  kMissing,  // no file at the path
  kHealthy,  // opens, passes the engine's quick check, is this suite's database
  kDamaged,  // not a database, malformed, or another program's database
  kUnknown,  // could not tell (locked, busy, unreadable): never treated as damaged
};

struct DatabaseCheck {
  DatabaseCondition condition = DatabaseCondition::kUnknown;
  // One line for people: why the file counts as damaged or could not be
  // judged (empty for a missing or healthy file).
  std::string detail;
};

// Classifies the file at `path` (UTF-8). Opens it through the engine only
// (never with a plain open, which would drop another connection's locks in
// this process) and writes nothing; as with any open, a log left by a crash
// is folded into the file when the check's connection is the last to close.
// Costs one read of every page: the engine's quick check, about 0.2 s for a
// 20 MB index in the page cache.
// Returns S_OK with the condition kMissing, kHealthy or kDamaged; otherwise
// the condition is kUnknown and the status says why: TRVX_E_ENGINE_BUSY or
// TRVX_E_ENGINE_LOCKED when another connection holds the file,
// TRVX_E_ENGINE_IOERR and the like, or the errno status of a failing stat;
// HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) when the path names something other
// than a regular file. E_INVALIDARG for a null `check` or an empty path.
[[nodiscard]] HRESULT CheckDatabase(const std::string& path, DatabaseCheck* check);

// Keeps the file at `path` and its -wal, -shm and -journal companions under
// the name "<path>.damaged-YYYYMMDD-HHMMSS" (local time; "-2", "-3"... added
// if that name is taken) and puts a new empty database (CreateDatabase) at
// `path`, creating the folder if needed. Nothing is deleted and nothing is
// overwritten. `*kept_as` gets the name the old file is kept under, or is
// cleared when nothing was kept. Companions found without their file are
// kept all the same, so that a stale log is never applied to the new
// database; `*kept_as` then names their base.
//
// Crash safety: the new database is built under a temporary name first and
// renamed over `path` last, and the old file is hard-linked to its kept name
// before that; a crash at any moment leaves `path` naming either the old file
// or the complete new database. Companions are moved aside before the new
// database takes its place.
//
// HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) when another process holds a
// lock on the file (it is then in use and nothing is changed); otherwise
// S_OK or the status of the failing step, with `*kept_as` naming what was
// already kept.
[[nodiscard]] HRESULT MoveAsideAndRecreate(const std::string& path, std::string* kept_as);

}  // namespace trovix
