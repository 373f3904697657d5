// Applying a group of tasks through the bulk pipeline: the files of the
// group are read and counted on every core and written, with the removals,
// in as few transactions as the pipeline makes (see bulk_indexer.h), instead
// of one task at a time with a transaction per step.
//
// Each task ends as ApplyTask (task_worker.h) would end it, with these
// differences, none of them visible in the index's contents:
//  - a removed name under which a regular file exists again has its entry
//    refreshed in place rather than removed and made anew (so it keeps its
//    file identifier);
//  - tasks of one path (different kinds) are settled by one action, decided
//    from one look at the disk, so that the pipeline, which does not order
//    its work, never holds two actions for a path;
//  - folder tasks, and tasks of kinds that change nothing, are applied one
//    by one through ApplyTask before the files are queued.
//
// Invariant: a task's outcome is kDone (or kSkipped) only once the batch that
// wrote its file has committed; a task whose batch did not commit answers
// kRetry (the store failed: reported to state.health) or kInterrupted (a
// stop), and is to be applied again.
//
// Threads: the calling thread, which has initialised the component library;
// the database must have been opened in this process (Init). The pipeline's
// threads are made for the call and ended before it returns; they take the
// calling thread's scheduling class and I/O priority.
#pragma once

#include <vector>

#include "indexer/index_task.h"
#include "indexer/indexer_state.h"
#include "indexer/task_worker.h"

namespace trovix::indexer {

// The outcome of each task of `tasks`, in the same order.
[[nodiscard]] std::vector<ApplyOutcome> ApplyTaskBatch(const std::vector<IndexTask>& tasks,
                                                       IndexerState& state);

}  // namespace trovix::indexer
