// When an index root is walked again, and the records each walk leaves.
//
// Each root keeps its schedule in its subkey of K (see kestine_settings.h):
// "Last Scan Outcome" (1 = the last walk ran to its end, 0 = it was stopped
// or a rescan was asked for, 2 = the database failed during it), "Last Scan
// Completion" (UTC FILETIME of the last walk's end), two texts for people
// and, after a failure, "Last Scan Failure Text". A root is due when its
// last walk did not complete, or completed "Scan Interval" minutes ago or
// longer.
// Stopping a walk records outcome 0, so an interrupted root is walked again
// at the next start whatever the interval.
//
// Threads: every function may be called from any thread. A ScanRecorder
// belongs to the thread that walks its root.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/types.h"

namespace trovix::indexer {

// The time source of the indexer's schedules; tests substitute a clock that
// stands still at a chosen instant.
class Clock {
 public:
  virtual ~Clock() = default;
  // The current time, UTC.
  [[nodiscard]] virtual FILETIME Now() const = 0;
  // `utc` as broken-down local time.
  [[nodiscard]] virtual std::tm ToLocal(FILETIME utc) const = 0;
};

// The system clock and the process's time zone.
[[nodiscard]] const Clock& SystemClock();

// One minute in FILETIME units (100 ns).
inline constexpr std::uint64_t kFileTimeMinute = 600000000;

// True when `root` should be walked now (see the file comment). Missing or
// unreadable values, an interval of 0 and a completion time of 0 all make the
// root due.
[[nodiscard]] bool IsDriveScanDue(const std::string& root, const Clock& clock);

// Marks `root` due: its next check finds it due even when the interval has
// not passed, and a walk of it that is running now records outcome 0, since
// the walk may already have passed the part that asked. For the change
// monitor, after its event queue overflowed or a folder could not be
// watched. Takes effect through the root's scanner thread, which checks
// every 20 seconds; a root without one is walked at the next start.
void RequestRescan(const std::string& root);

// The text form of a local time: asctime's layout with English names and the
// day always two digits, "Tue Mar 05 07:08:09 2024" and a line feed
// (25 characters for years 1000 to 9999).
[[nodiscard]] std::string ScanTimeText(const std::tm& local);

// The records of one walk of a root. Construction writes "Last Scan Start
// Text"; Finish writes "Last Scan Completion", "Last Scan Outcome" and
// "Last Scan Completion Text", in that order. Registry failures are ignored.
class ScanRecorder {
 public:
  ScanRecorder(std::string root, const Clock& clock);
  ScanRecorder(const ScanRecorder&) = delete;
  ScanRecorder& operator=(const ScanRecorder&) = delete;

  // `walk_completed`: the walk ran to its end. The outcome written is 1 only
  // when it did and no rescan was requested for the root since this recorder
  // was made.
  void Finish(bool walk_completed);
  // Records a walk that ended because the database failed: outcome 2, and
  // `why` as "Last Scan Failure Text". The root stays due.
  void FinishFailed(const std::string& why);

 private:
  std::string root_;
  const Clock& clock_;
  std::uint64_t requests_at_start_;
};

}  // namespace trovix::indexer
