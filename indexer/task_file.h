// "tasklist.bin": the indexer's backlog of unapplied changes, kept between
// runs.
//
// The file is a sequence of 540-byte records, no header and no count. A
// plain record holds one task:
//
//   offset 0    520 bytes  path, UTF-16LE code units, left-aligned and padded
//                          with blanks (U+0020) to 260 units, no terminator
//   offset 520   16 bytes  kind as decimal text ("%-8d"), UTF-16LE, padded
//                          with blanks to 8 units, no terminator
//   offset 536    4 bytes  time stamp, unsigned 32-bit little-endian seconds
//                          since 1970-01-01 UTC
//
// A task whose path a plain record cannot hold exactly (longer than 260
// units, or ending in white space) is written as a run of extended records
// instead, whose first unit is zero (long_task_record.h): a reader of plain
// records only skips them as damaged, so a file of this format stays
// readable by it, and a file of plain records only is what it always was.
//
// Invariants:
//  1. Every task written reads back as the same (path, kind, time stamp):
//     a path that no record can hold exactly (holding a zero unit, longer
//     than the catalogue holds) is not written at all, nor is a kind other
//     than the five change kinds. A cut or trimmed path would name another
//     file, and a task applied to the wrong file can remove that file's
//     entry from the index.
//  2. The file is replaced atomically (temporary file, flush, rename), mode
//     0600: after a crash it holds either the old or the new backlog, whole.
//  3. Loading never deletes or changes the file. Whoever loads it keeps it
//     until the loaded tasks have been applied or saved again, so a crash in
//     between replays them (applying a task twice is harmless) instead of
//     losing them.
//  4. Loading trusts nothing in the file: every record is checked, a damaged
//     one is skipped with a log line, and memory stays bounded (one record
//     buffer, one long path being put together, at most kMaxLoadedTasks
//     records).
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "indexer/index_task.h"

namespace trovix::indexer {

// Both task sets (pending and work) have this shape; the set owns its tasks.
using TaskSet = std::set<IndexTask, TaskOrder>;

inline constexpr std::size_t kTaskPathUnits = 260;
inline constexpr std::size_t kTaskKindUnits = 8;
inline constexpr std::size_t kTaskRecordSize = 2 * kTaskPathUnits + 2 * kTaskKindUnits + 4;
static_assert(kTaskRecordSize == 540);

// A file larger than this many records is not a backlog this program wrote
// (the scanner catches up long before); the rest is skipped with a log line.
inline constexpr std::size_t kMaxLoadedTasks = 2'000'000;

// Receives one line (no newline) per skipped record or failed file
// operation. An empty function writes the line to stderr.
using TaskFileLog = std::function<void(const std::string& line)>;

// $XDG_STATE_HOME/Quillon/tasklist.bin; empty when no state folder is known.
[[nodiscard]] std::string TaskListPath();

// The 540-byte record of `task`. False (and `*record` unchanged) when the
// record cannot hold the path exactly (invariant 1) or the kind is none of
// the five change kinds (such a task does nothing when applied).
[[nodiscard]] bool EncodeTaskRecord(const IndexTask& task, std::string* record);

// The task in `record` (kTaskRecordSize bytes). False with `*why` set when
// the record is damaged: a zero unit in the path, a path that is empty or not
// absolute, a kind that is not one of the five change kinds written in
// decimal.
[[nodiscard]] bool DecodeTaskRecord(std::string_view record, IndexTask* task, std::string* why);

// Replaces the file at `path` with the records of `tasks`, in set order
// (plain ones, or a run of extended ones for a path a plain record cannot
// hold), or removes it when no task can be written (an empty backlog leaves
// no file).
// Creates the state folder (0700) when missing. Returns the number of tasks
// written, or -1 when the file could not be written; the old file is then
// left as it was. `tasks` is not changed. Any thread; the caller keeps
// `tasks` from changing meanwhile.
[[nodiscard]] int SaveTasks(const std::string& path, const TaskSet& tasks,
                            const TaskFileLog& log = {});

// Inserts the tasks of the file at `path` into `*tasks`; a task equal to one
// already there is dropped (the set keeps its own). Returns the number of
// tasks added to the set, 0 when there is no file, -1 when the file could
// not be opened or read (the tasks read before the error stay in the set).
// Damaged records, a run of extended records cut short, and a last record
// cut short, are skipped and logged; they do not make the result -1.
// Never changes the file (invariant 3).
[[nodiscard]] int LoadTasks(const std::string& path, TaskSet* tasks, const TaskFileLog& log = {});

// Removes the file at `path`; a missing file counts as removed. Returns 0 or
// the errno value.
[[nodiscard]] int RemoveTaskFile(const std::string& path);

}  // namespace trovix::indexer
