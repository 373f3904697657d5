// The extended records of "tasklist.bin" (see task_file.h): a task whose
// path a 540-byte record cannot hold exactly — longer than 260 units, or
// ending in white space — written as a run of records of the same size.
//
//   head record
//   offset 0     2 bytes  U+0000, the mark of an extended record
//   offset 2     2 bytes  'L' (UTF-16LE)
//   offset 4     4 bytes  kind, unsigned 32-bit little-endian
//   offset 8     4 bytes  time stamp, as in a plain record
//   offset 12    4 bytes  path length in UTF-16 units, little-endian
//   offset 16  524 bytes  the path's first 262 units, UTF-16LE, then zeros
//   continuation record, as many as the rest of the path needs
//   offset 0     2 bytes  U+0000
//   offset 2     2 bytes  'C'
//   offset 4   536 bytes  the next 268 units of the path, then zeros
//
// Invariants:
//  1. A reader of plain records only skips every extended record as damaged
//     (its path field holds a zero unit) and reads the plain records around
//     them as before; a file without long tasks is all plain records.
//  2. Only a path of at most kMaxCataloguedPathBytes in UTF-8, absolute and
//     without a zero unit, is written, so a run has at most 16 records; a
//     head that announces more is damaged.
//  3. The reader trusts nothing: a head with a bad kind or length, a
//     continuation without its head, and a run cut short by another record
//     or the end of the file are each skipped and reported; it holds the
//     path of one task at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "indexer/index_task.h"

namespace trovix::indexer {

// Appends the extended records of `task` to `*records`. False (and
// `*records` unchanged) when the path is empty, not absolute, holds a zero
// unit or is longer than the catalogue holds, or the kind is none of the
// five change kinds.
[[nodiscard]] bool EncodeLongTaskRecords(const IndexTask& task, std::string* records);

// Whether a record of kTaskRecordSize bytes is an extended one, and whether
// it is a continuation.
[[nodiscard]] bool IsLongTaskRecord(std::string_view record);
[[nodiscard]] bool IsLongTaskContinuation(std::string_view record);

// Puts the tasks of extended records together, record by record, in the
// order of the file. Every record but a continuation ends the run before
// it: the caller calls End before it hands over such a record, and at the
// end of the file. Used by one thread.
class LongTaskReader {
 public:
  enum class Step {
    kMore,     // the record was taken; the task needs more records
    kTask,     // the record completed `*task`
    kDamaged,  // the record is skipped, for the reason in `*why`
  };

  // Takes the extended record `record` (kTaskRecordSize bytes).
  [[nodiscard]] Step Take(std::string_view record, IndexTask* task, std::string* why);
  // Ends an unfinished run. True with `*why` set when a task was cut short
  // and is lost.
  [[nodiscard]] bool End(std::string* why);

 private:
  [[nodiscard]] Step Start(std::string_view record, std::string* why);
  [[nodiscard]] Step Finish(IndexTask* task, std::string* why);

  bool open_ = false;
  std::size_t length_ = 0;  // units the open task's path has in all
  IndexTask task_;
};

}  // namespace trovix::indexer
