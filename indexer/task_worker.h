// The task queue thread and the task applier thread: changes reported by the
// change monitors reach the index store here, one task at a time, and the
// unapplied backlog survives a restart in "tasklist.bin".
//
// States of a TaskWorker:
//  1. Made. No thread runs.
//  2. Running (after Start, while RunningFlag is 1). The queue thread has
//     loaded tasklist.bin into the work set and started the applier. It moves
//     each batch of the pending set into the work set, merging duplicates,
//     steers the applier's priority by the backlog and wakes the applier,
//     which takes the tasks in set order, up to kGroupTasks at a time, and
//     applies each group without a lock through the bulk pipeline
//     (ApplyTaskBatch: its files are written many per transaction).
//     A file changed while it is busy, or still being written, goes to the
//     held set instead, until the coalescer (change_coalescer.h) finds it
//     due; the applier moves the held tasks that became due into the work
//     set before it takes tasks, and times its waits by the first of them.
//     While IndexerState::paused is set the applier takes no task: changes
//     go on collecting in the work set and are applied after the resume.
//  3. Stopping (RunningFlag 0). The applier ends after its current group;
//     the tasks of the group that RunningFlag interrupted go back to the work
//     set. Then the queue thread moves the last pending batch into the work
//     set and saves the work set to tasklist.bin.
//  4. Ended. Both threads have ended; WaitForEnd answers true.
//
// Invariants:
//  1. Lock order: ListMutex before WorkMutex. Only the queue thread holds
//     both; the applier holds only WorkMutex, and never while it applies.
//  2. Every wait of both threads is bounded (ListEvent and the locks 4000
//     ms, WorkEvent and WorkMutex in the applier 1000 ms), so RunningFlag is
//     re-tested regularly; the service also signals ListEvent when it clears
//     RunningFlag, so the stop begins at once.
//  3. tasklist.bin holds every task loaded from it at start that may still
//     be unapplied: it is removed only when the applier, having finished
//     every task it took, finds the work set empty, and replaced only by the
//     save at the end. A task taken counts as finished only once the batch
//     that wrote it committed (or it needed no writing); one whose batch did
//     not commit goes back to the work set. A crash in between replays
//     those tasks at the next start; applying a task twice is harmless.
//  4. No task in the work set or the held set is lost at a stop: the
//     applier has ended before both are saved together.
//  5. Holding delays, never drops, and never delays a removal: a removal or
//     rename away ("Removed", "Renamed - old name") and every folder task go
//     to the work set at once, and take the held tasks of their path with
//     them. A held task reaches the work set by the coalescer's longest wait
//     (plus one file's cost wait) at the latest. Nothing moves from the work
//     set to the held set, and a store task of a path the work set holds
//     joins it there, so a task loaded from tasklist.bin is never held and
//     invariant 3 needs to look at the work set only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "indexer/change_coalescer.h"
#include "indexer/index_task.h"
#include "indexer/indexer_state.h"
#include "indexer/task_file.h"
#include "platform/sync.h"

namespace trovix::indexer {

// The applier's levels; on Linux each stands for an I/O priority (idle
// class, best-effort 4, best-effort 0). The values are those of the
// platform's THREAD_PRIORITY_IDLE, _NORMAL and _ABOVE_NORMAL, so a setter
// built on SetThreadPriorityLevel converts with a cast.
enum class ApplierPriority : int { kIdle = -15, kNormal = 0, kAboveNormal = 1 };

// Moves thread `thread_id` (a Linux thread id) to `level` and answers the
// level in force afterwards (read back: the old one when the change was
// refused). Called on the queue thread.
using ApplierPrioritySetter =
    std::function<ApplierPriority(pid_t thread_id, ApplierPriority level)>;

// The applier's next level for `backlog` tasks waiting: idle moves to normal
// above 5000; normal moves to above normal above 500000 and to idle below
// 5000; above normal moves to normal below 500000. The gaps between the
// thresholds keep the level from flapping; one step per call.
[[nodiscard]] ApplierPriority NextApplierPriority(ApplierPriority current, std::size_t backlog);

// Moves every task of `*from` into `*into`. A task equal to one already in
// `*into` (same path, compared exactly, and kind) is dropped and the kept
// task's time stamp becomes `now`. `*from` is empty afterwards. The caller
// holds the locks of both sets.
void MergeTasks(TaskSet* from, TaskSet* into, DWORD now);

// Seconds since 1970 as a task's time stamp; times past the 32-bit range
// (the year 2106) stay at its largest value.
[[nodiscard]] DWORD TaskTimeNow();

enum class ApplyOutcome {
  kDone,          // applied, or attempted and refused by the index store (dropped)
  kSkipped,       // nothing to do: index store file, directory, not indexable, unknown kind
  kInterrupted,   // RunningFlag stopped the indexing part-way: apply it again later
  kNoIndexStore,  // no index store object could be made: nothing was done
  kRetry,         // the database failed (see IsStoreFailure): apply it again later
};

// Applies one task through a fresh index store object, without any lock held:
//  - "Added", "Modified", "Renamed - new name": an existing regular file of
//    an indexable type is catalogued (added, or updated when catalogued) and
//    its words are replaced.
//  - "Removed", "Renamed - old name": the catalogued file of that path loses
//    its words and then its entry (also when a folder now stands under that
//    name); when a regular file exists again under that name, it is then
//    stored and indexed as above.
//  - A path ending in '/' names a folder: "Removed" and "Renamed - old name"
//    take every catalogued file below it that is no longer on disk out of
//    the index (the folder was removed or moved away); other kinds skip.
// A store failure (see IsStoreFailure) at any step answers kRetry: the task
// is to be applied again once the store works. A file that cannot be indexed
// for a reason of its own is told once through state.notices.
// The index store's own files are never touched. Symbolic links, devices,
// FIFOs and sockets are not stored, as the folder walk does not store them.
// The calling thread must have initialised the component library; the
// database must have been opened in this process (Init). IndexFile's continue
// flag is state.running.
[[nodiscard]] ApplyOutcome ApplyTask(const IndexTask& task, IndexerState& state);

using TaskApplier = std::function<ApplyOutcome(const IndexTask& task)>;

struct TaskWorkerOptions {
  // The backlog file; empty means no backlog is kept between runs.
  std::string task_file = TaskListPath();
  // Applies one task on the applier thread, one task at a time; empty means
  // groups of tasks through ApplyTaskBatch (task_batch.h).
  TaskApplier apply = {};
  // Empty means the level is only noted.
  ApplierPrioritySetter set_priority = {};
  // Lines about the backlog file; empty means stderr.
  TaskFileLog log = {};
  // Called once on the applier thread when no index store object can be
  // made. The applier then stops taking tasks (they stay in the work set and
  // are saved at the end); the service is expected to report it and quit.
  std::function<void()> on_no_index_store = {};
  // When a file changed again and again is due (change_coalescer.h).
  CoalescingRule coalescing = {};
};

class TaskWorker {
 public:
  // The most tasks the applier takes at once: a stop waits for at most one
  // group's files to be read (the reading of a file stops at once) and its
  // batch to be committed.
  static constexpr std::size_t kGroupTasks = 512;

  // `state` must outlive the worker.
  TaskWorker(IndexerState& state, TaskWorkerOptions options);
  // Waits for the threads to end: RunningFlag must be 0 by then when Start
  // was called.
  ~TaskWorker();
  TaskWorker(const TaskWorker&) = delete;
  TaskWorker& operator=(const TaskWorker&) = delete;

  // Starts the queue thread (which loads the backlog and starts the
  // applier). Once per worker; on the thread that owns the worker.
  void Start();

  // After RunningFlag was set to 0 and ListEvent signalled: waits up to
  // `timeout_ms` for both threads to end. True when they have ended (the
  // backlog is then saved). On the thread that owns the worker.
  [[nodiscard]] bool WaitForEnd(DWORD timeout_ms);

  // After WaitForEnd answered true: whether the backlog is safe, i.e. saved
  // to the task file, or there was nothing to save. False when the save
  // failed (a full disk): the caller must make the next start rescan.
  [[nodiscard]] bool backlog_saved() const { return backlog_saved_; }

  // The tasks in the work set now (not those still pending). Any thread.
  [[nodiscard]] std::size_t backlog() const { return work_size_.load(); }
  // The tasks held until their busy files are quiet. Any thread.
  [[nodiscard]] std::size_t settling() const { return held_size_.load(); }
  // The tasks applied (kDone) since Start. Any thread.
  [[nodiscard]] std::uint64_t applied() const { return applied_.load(); }

 private:
  void QueueMain();
  void LoadBacklog();
  void StartApplier();
  void TransferBatch();
  void RouteTasks(DWORD stamp);
  [[nodiscard]] bool WorkHolds(const WString& path) const;
  void ReleaseDue(ChangeCoalescer::Time now);
  void SetApplierPriority(ApplierPriority level);
  void StopApplier();
  void SaveBacklog();

  void ApplierMain();
  [[nodiscard]] DWORD ApplierWaitMs() const;
  [[nodiscard]] bool HeldTaskDue() const;
  [[nodiscard]] bool ApplyWaitingTasks();
  [[nodiscard]] bool WaitForStore();
  [[nodiscard]] bool TakeTasks(std::vector<IndexTask>* group);
  [[nodiscard]] std::vector<ApplyOutcome> Apply(const std::vector<IndexTask>& group);
  void NoteCosts(const std::vector<IndexTask>& group, const std::vector<ApplyOutcome>& outcomes,
                 ChangeCoalescer::Duration elapsed);
  void Requeue(IndexTask task);

  IndexerState& state_;              // shared with the service and the monitors
  const TaskWorkerOptions options_;  // read-only after construction: any thread

  Mutex work_mutex_;  // WorkMutex
  // WorkEvent: auto-reset; set by the queue thread after each batch (and
  // after loading a backlog) to wake the applier.
  Event work_event_{/*manual_reset=*/false, /*initially_set=*/false};
  TaskSet work_;  // WorkTaskSet. Guarded by work_mutex_.
  // True while tasklist.bin holds tasks loaded at start that may still be
  // unapplied (invariant 3). Guarded by work_mutex_.
  bool file_holds_backlog_ = false;
  // work_.size(), for steering on a time-out without taking the lock.
  // Written under work_mutex_; read by the queue thread.
  std::atomic<std::size_t> work_size_{0};
  // HeldTaskSet: tasks of busy files, waiting to be due. Guarded by
  // work_mutex_, as is the coalescer that decides when they are.
  TaskSet held_;
  ChangeCoalescer coalescer_;
  // held_.size(), and when the first held task is due (steady-clock ticks;
  // the largest value while none is held). Written under work_mutex_; read
  // by the applier to time its waits, and by the status.
  std::atomic<std::size_t> held_size_{0};
  std::atomic<ChangeCoalescer::Duration::rep> next_release_{
      ChangeCoalescer::Duration::max().count()};
  std::atomic<std::uint64_t> applied_{0};  // written by the applier only

  // The applier's Linux thread id, 0 once it has ended: written by the
  // applier (first before it sets applier_ready_), read by the queue thread
  // after waiting for applier_ready_.
  std::atomic<pid_t> applier_tid_{0};
  Event applier_ready_{/*manual_reset=*/true, /*initially_set=*/false};
  ApplierPriority level_ = ApplierPriority::kIdle;  // queue thread only
  std::thread applier_;                             // queue thread only

  std::thread queue_;  // the owner's thread only (Start, WaitForEnd, destructor)
  // Manual-reset; set by the queue thread as its last step.
  Event ended_{/*manual_reset=*/true, /*initially_set=*/false};
  // Written by the queue thread before it sets ended_; read after.
  bool backlog_saved_ = true;
};

}  // namespace trovix::indexer
