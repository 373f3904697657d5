// The change monitor of one index root: a thread that turns the root's
// change notifications into IndexTasks in the pending set.
//
// States of the monitor thread, in order:
//   1. Watching the tree (ChangeSource::Start). A root that cannot be watched
//      is logged and the thread ends: the root is then only scanned.
//   2. Waiting for changes in slices of kWaitSliceMs, so that a cleared
//      RunningFlag is noticed within one slice even without the stop request.
//   3. For each batch: report lost changes (see below), then queue one task
//      per record of an indexable file under one acquisition of list_mutex.
//   4. Ending, on the stop request, a cleared RunningFlag or the loss of the
//      root: list_event is set once more so that the task queue thread looks
//      at the pending set again.
//
// Rules for records:
//   - Folders and files the skip rules in force at construction leave out
//     (skip_paths.h) are not watched and make no tasks.
//   - Regular-file names whose extension is indexable make tasks; the
//     task's kind is the record's action, its path the root followed by the
//     record's relative path.
//   - A directory that was removed or renamed away ("Removed", "Renamed -
//     old name") makes one task whose path ends in '/': the folder's
//     catalogued files leave the index with it, since a folder moved out of
//     the tree brings no records of its files. Other directory records make
//     none: the change source reports the files under a directory that
//     appears or is renamed, as records of their own.
//   - A task equal to a pending one (same path compared exactly, same kind)
//     is dropped: names differing only in case are different files. The
//     pending one then counts as closed after writing when either was.
//   - A task carries the record's `writing` flag: its file was created or
//     written to and not closed since, so the worker may wait for the writer
//     (change_coalescer.h).
//   - A path longer than kMaxCataloguedPathBytes (shared/index_limits.h)
//     makes no task: the catalogue cannot hold it, nor can it be opened.
//
// Lost changes never go unnoticed: a queue overflow, a directory whose watch
// failed, and a batch dropped because list_mutex stayed busy for a second are
// each logged and call `request_rescan`, which marks the root's scan due.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "indexer/index_task.h"
#include "indexer/indexer_state.h"
#include "platform/change_source.h"
#include "platform/sync.h"

namespace trovix::indexer {

class ChangeMonitor {
 public:
  using Log = std::function<void(const std::string& line)>;

  static constexpr int kWaitSliceMs = 500;
  static constexpr DWORD kListMutexWaitMs = 1000;

  // `state` must outlive the monitor. `root`: absolute UTF-8 path of the
  // index root. `request_rescan` and `log` are called on the monitor thread
  // and must not block for long; `log` defaults to standard error.
  ChangeMonitor(IndexerState* state, std::string root, std::function<void()> request_rescan,
                Log log = {});
  // Requests the stop and waits for the thread, however long it takes.
  ~ChangeMonitor();
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;

  // Starts the thread; false when it could not be started. Once only.
  [[nodiscard]] bool Start();
  // The stop packet. Any thread, any number of times, also before Start.
  void RequestStop();
  // Waits up to `timeout_ms` for the thread to end; true when it has ended
  // (or never started). Any thread except the monitor's own.
  [[nodiscard]] bool WaitForExit(DWORD timeout_ms);
  // Waits up to `timeout_ms` until the tree is watched, or the thread ended
  // without watching it; true when either happened. Changes made after a
  // true answer are seen.
  [[nodiscard]] bool WaitUntilWatching(DWORD timeout_ms);

  [[nodiscard]] const std::string& root() const { return root_; }

 private:
  void Run();
  void ReportLosses(const ChangeBatch& batch);
  [[nodiscard]] std::vector<IndexTask> MakeTasks(const std::vector<ChangeRecord>& records) const;
  void Queue(std::vector<IndexTask> tasks);
  void Write(const std::string& line) const;

  IndexerState* const state_;
  const std::string root_;
  const WString root_prefix_;  // UTF-16 root ending with '/'
  const std::function<void()> request_rescan_;
  const Log log_;
  // Owned by the monitor thread once started, except RequestStop.
  ChangeSource source_;
  Event watching_{/*manual_reset=*/true, /*initially_set=*/false};
  Event exited_{/*manual_reset=*/true, /*initially_set=*/false};
  std::thread thread_;
};

}  // namespace trovix::indexer
