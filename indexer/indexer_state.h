// The state the indexer's threads share. Created before any worker thread
// starts and destroyed after the last one ended.
#pragma once

#include <atomic>
#include <set>

#include "indexer/index_task.h"
#include "indexer/indexable_extensions.h"
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
