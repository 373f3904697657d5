// The state the indexer's threads share. Created before any worker thread
// starts and destroyed after the last one ended.
#pragma once

#include <atomic>
#include <functional>
#include <set>
#include <string>

#include "indexer/file_notices.h"
#include "indexer/index_task.h"
#include "indexer/indexable_extensions.h"
#include "indexer/indexer_activity.h"
#include "indexer/skip_paths.h"
#include "indexer/store_health.h"
#include "platform/sync.h"

namespace trovix::indexer {

struct IndexerState {
  // RunningFlag: 1 from start-up until shutdown begins, then 0. Written by
  // the main thread only; every worker loop tests it. Its address is also
  // IndexFile's continue flag (read as a UINT), so a long indexing call
  // stops when shutdown begins.
  std::atomic<unsigned> running{1};

  // Filled before any thread reads it, then read-only.
  IndexableExtensionSet extensions;

  // The folders and files left alone; replaced as a whole when the settings
  // change (any thread).
  SharedSkipRules skip;

  // While true nothing is indexed: no walk or compaction starts, a walk in
  // progress stops, and the applier leaves the tasks in the work set (the
  // monitors go on recording changes). Written by the main thread.
  std::atomic<bool> paused{false};

  // What the threads are doing now.
  IndexerActivity activity;

  // Whether the database can be used now; workers that meet a store
  // failure report it here and wait instead of failing file after file.
  StoreHealth health;

  // Once-per-file notices of files left out of the index, and why.
  FileNotices notices;

  // Tells the user of a problem of the whole indexer (standard error, the
  // diagnostic log, the tray). Set before any thread starts, then
  // read-only; called from any thread. May be empty.
  std::function<void(const std::string& message)> report;

  void Report(const std::string& message) const {
    if (report) report(message);
  }

  // PendingTaskSet: filled by the change monitors, emptied by the task queue
  // thread. Guarded by list_mutex; list_event (auto-reset) is set after
  // each insertion.
  Mutex list_mutex;
  Event list_event{/*manual_reset=*/false, /*initially_set=*/false};
  std::set<IndexTask, TaskOrder> pending;

  // Adds `task` unless an equal one (same path and kind) is waiting, and
  // wakes the task queue thread. Any thread.
  void AddPending(IndexTask task) {
    if (list_mutex.Wait(INFINITE) != WAIT_OBJECT_0) return;
    pending.insert(std::move(task));
    list_mutex.Release();
    list_event.Set();
  }

  // IndexFile's continue flag: the first byte of `running`.
  UINT* continue_flag() { return reinterpret_cast<UINT*>(&running); }
};

}  // namespace trovix::indexer
