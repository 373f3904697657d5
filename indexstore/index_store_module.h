// The index store's process-wide state, shared by every TrovixDB object of
// the process.
//
// States (guarded by the write mutex, then the critical section):
//  1. created, closed — after the module is loaded: paths computed, the
//     write mutex opened, no connection. SetDBFileName works only here.
//  2. open — after a successful open step: DatabaseOpenFlag set, the
//     connection serves every object; StatisticsReadyFlag set once Init has
//     loaded or recounted the counters. Opened by OpenForReading
//     (shared/itrovixreader.h) the connection is read-only, the counters
//     are neither loaded nor saved and StatisticsReadyFlag stays clear.
//  3. closed again — after Cleanup's close step; Init may open it anew.
// Unloading the module destroys the state and closes the connection.
#pragma once

#include <mutex>
#include <string>

#include "indexstore/engine.h"
#include "indexstore/kept_statement.h"
#include "indexstore/term_rows.h"
#include "indexstore/word_id_cache.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace ordalis {

class IndexStoreModule {
 public:
  IndexStoreModule();
  ~IndexStoreModule();
  IndexStoreModule(const IndexStoreModule&) = delete;
  IndexStoreModule& operator=(const IndexStoreModule&) = delete;

  // The one instance of the process (constructed when the module loads).
  static IndexStoreModule& Get();

  // Opens the database at the current path, read-only when `for_reading`.
  // E_UNEXPECTED when already open; the engine's failure (logged) otherwise.
  [[nodiscard]] HRESULT OpenDatabase(bool for_reading = false);
  // E_UNEXPECTED when not open.
  [[nodiscard]] HRESULT CloseDatabase();

  // Statistics counters persisted between runs (see statistics.h).
  [[nodiscard]] HRESULT LoadOrRecountCounters();
  void SaveCounters();

  NamedMutex& write_mutex() { return write_mutex_; }
  std::recursive_mutex& critical_section() { return critical_section_; }
  Engine& engine() { return engine_; }

  // The data below is guarded by the write mutex.
  WString db_path;  // at most MAX_PATH units
  std::string log_path;
  bool database_open = false;
  // Set while the connection is one OpenForReading opened.
  bool opened_for_reading = false;
  bool statistics_ready = false;
  UINT files_processed = 0;
  UINT files_indexed = 0;
  UINT files_updated = 0;
  // The path of the last file IndexFile completed in this process.
  WString last_indexed_file;
  // Set while CompactDatabase of this process compacts the database file;
  // searches answer E_UNEXPECTED meanwhile. Read under the critical section.
  bool compacting = false;
  // Identifiers of known words, for the flushes of the word index.
  WordIdCache word_ids;
  // Identifiers of known terms, for the batches' writes of the term index.
  TermIdCache term_ids;
  // Where GetDB points: the engine while open, else null.
  IUnknown* data_source = nullptr;
  // SearchNext's lookup of a file's record, kept prepared while the
  // connection is open and finalized by the close step. Guarded by the
  // critical section.
  KeptStatement file_record;

 private:
  void ComputeDefaultDatabasePath();

  NamedMutex write_mutex_;
  std::recursive_mutex critical_section_;
  Engine engine_;
};

// Scoped holder of the write mutex. The wait has no time-out, and a mutex
// whose holder died counts as acquired; with an unusable mutex the lock does
// nothing (operations are then not serialised across processes).
class WriteLock {
 public:
  WriteLock() : mutex_(IndexStoreModule::Get().write_mutex()) {
    held_ = mutex_.Wait(INFINITE) == WAIT_OBJECT_0;
  }
  ~WriteLock() {
    if (held_) mutex_.Release();
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  NamedMutex& mutex_;
  bool held_;
};

}  // namespace ordalis
