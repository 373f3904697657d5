// The indexer's recovery thread: it makes the index store usable again after
// a store failure (see store_health.h), and notices a database file deleted
// or replaced under the running indexer.
//
// States of the thread:
//  1. watching — the store is available. Every check interval the database
//     path is compared with the file this process opened (device and inode):
//     a file deleted, or moved aside by a repair in another process, counts
//     as a store failure, since every write would go to a file nobody reads.
//  2. recovering — the store is unavailable. After the back-off of the
//     series (none for the first failure, then 5 s doubling to 5 minutes)
//     the file is examined:
//       a. missing: a new, empty database is made;
//       b. not a database, or damaged: it is moved aside (kept, with the date
//          in its name) and a new, empty one is made; the index holds nothing
//          that a walk of the roots cannot rebuild;
//       c. healthy: the failure lay outside the file (full disk, I/O error,
//          lock): the store is tried again;
//       d. cannot tell (busy, locked, I/O error): examined again later.
//     Then the process's connection is closed and opened again. When that
//     works the store is marked available, and after a new database every
//     root is marked due for a walk.
//  A series of failures ends when the store stays available for a minute.
//  The user is told once when a series begins and once when something was
//  done about it (a new database) or the series ends; the workers wait
//  meanwhile, so a broken database costs no processor time and no flood of
//  log records.
//
// Threads: the thread owns its index store objects; it shares only the
// IndexerState.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "indexer/indexer_state.h"
#include "shared/database_repair.h"

namespace trovix::indexer {

struct StoreRecoveryParams {
  IndexerState* state = nullptr;  // outlives the thread
  // The database file (the index store's default path).
  std::string database;
  // The roots to walk again after a new database was made.
  std::vector<std::string> roots;
  // Examines the file at a path (see CheckDatabase); called while this
  // thread holds the suite's write mutex.
  std::function<DatabaseCondition(const std::string& path)> examine;
  // Makes a new, empty database at a path, first moving a damaged file
  // aside; `*kept_as` receives where the old file was kept (empty when
  // there was none). Called while this thread holds the write mutex.
  std::function<HRESULT(const std::string& path, std::string* kept_as)> recreate;
  // Marks a root due for a walk.
  std::function<void(const std::string& root)> request_rescan;
  std::chrono::milliseconds check_interval = std::chrono::seconds(10);
  std::chrono::milliseconds first_backoff = std::chrono::seconds(5);
  std::chrono::milliseconds last_backoff = std::chrono::minutes(5);
  // How long the store must stay available for a series to end.
  std::chrono::milliseconds calm = std::chrono::minutes(1);
};

// The thread procedure. Returns when state->health is stopped. Initialises
// the component library for its thread.
void StoreRecoveryThread(const StoreRecoveryParams& params);

}  // namespace trovix::indexer
