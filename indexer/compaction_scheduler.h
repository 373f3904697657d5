// The compaction thread: decides every three minutes whether compacting the
// index store's database is worth blocking it for, preferring the night
// hours, tells the open panels before and after, and records the sizes and
// the completion time in key K.
//
// The thread's states:
//  1. starting — key K created or opened (the thread ends when it cannot
//     be), the two thresholds read, a missing one written with its default;
//     one index store object made for the thread's whole life.
//  2. waiting — up to 180 seconds on CompactionWakeEvent; then, while
//     RunningFlag is 1, the settings read again and one pass (none while
//     indexing is paused) and back to waiting. So the first pass
//     comes three minutes after the start, and an exit before it makes none.
//  3. pass — see CompactionScheduler::RunPass. A compaction once started is
//     not interrupted (the index store cannot stop one half-way); the pause
//     before it is.
//  4. ended — RunningFlag is 0.
//
// Sizes are the index store's unsigned 32-bit byte counts. The baseline E
// is the size after the last compaction ("Last Size At End"); growth is
// measured against it.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>

#include "indexer/kestine_settings.h"
#include "indexer/scan_schedule.h"
#include "platform/sync.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {

inline constexpr DWORD kCompactionWaitMs = 180000;
// Between telling the panels and compacting: time for them to let go of the
// database, which compaction needs free of other connections.
inline constexpr DWORD kCompactionPauseMs = 5000;
// With a database this large (0x79C00000 bytes or more), any reclaimable
// space above kMinReclaimable is worth a compaction.
inline constexpr UINT kLargeDatabase = 2042626047;
inline constexpr UINT kMinReclaimable = 65536;
// The night hours by default: local hours 2, 3 and 4 (02:00:00 to 04:59:59).
inline constexpr DWORD kDefaultNightStartHour = 2;
inline constexpr DWORD kDefaultNightEndHour = 5;

struct CompactionThresholds {
  DWORD night;  // "Nighttime Delta", used during the night hours
  DWORD day;    // "Daytime Delta", used at any hour
  // "Night Start Hour" and "Night End Hour": the night runs from the start
  // hour up to (not including) the end hour, across midnight when the end
  // is the smaller; equal hours make no night.
  DWORD night_start = kDefaultNightStartHour;
  DWORD night_end = kDefaultNightEndHour;
};

// Whether `local_hour` lies in the night hours of `thresholds`.
[[nodiscard]] bool InNightHours(const CompactionThresholds& thresholds, int local_hour);

struct CompactionFigures {
  UINT space_free;  // F: GetCompactionSpaceFree
  UINT size;        // S: GetDBFileSize
  UINT baseline;    // E: the size after the last compaction
};

// The first of these makes compaction due, in this order: F above the night
// threshold at a night hour; F above the day threshold; growth S - E above
// the day threshold; growth above the night threshold at a night hour; F
// above kMinReclaimable in a database larger than kLargeDatabase. E plus a
// threshold is summed without wrapping around: a wrapped sum would make a
// database near 4 GiB look grown and compact it at every pass.
[[nodiscard]] bool CompactionDue(const CompactionFigures& figures,
                                 const CompactionThresholds& thresholds, int local_hour);

// Tells the panels and the band; called on the compaction thread with
// WM_COMPACTION_BEGIN before a compaction and WM_COMPACTION_END after it. It
// must not wait for the receivers (posting, not sending). May be empty.
using NotifyPanelsFn = std::function<void(UINT message)>;

enum class PassResult {
  kSkipped,    // a size or space query failed
  kNotDue,     // no condition held
  kStopped,    // RunningFlag dropped during the pause; nothing compacted
  kFailed,     // CompactDatabase failed; nothing recorded
  kCompacted,  // compacted, sizes and time recorded
};

// The decisions and records of the compaction thread. Belongs to that thread.
class CompactionScheduler {
 public:
  CompactionScheduler(const std::atomic<unsigned>& running, NotifyPanelsFn notify,
                      const Clock& clock, DWORD pause_ms = kCompactionPauseMs);

  // Creates or opens key K and reads both thresholds, writing the default of
  // a missing one (a user's value is kept), and the night hours (a missing
  // or out-of-range one keeps its default). False when key K can be neither
  // created nor opened. Called before each pass, so that a changed setting
  // holds from the next pass on.
  [[nodiscard]] bool LoadThresholds();
  [[nodiscard]] const CompactionThresholds& thresholds() const { return thresholds_; }

  // One pass with `store` (initialised). Learns the baseline first when it
  // is still 0 (from "Last Size At End", else the current size, which is then
  // written). When compaction is due: notifies BEGIN, pauses, compacts,
  // notifies END (also after a failed compaction or a stop in the pause);
  // after a success writes "Last Size At Start" (the size before),
  // "Last Size At End" (the size after, also the new baseline) and
  // "Last Compaction Completed" (local time in the locale's long form).
  [[nodiscard]] PassResult RunPass(ITrovixDB* store);

 private:
  [[nodiscard]] bool EnsureBaseline(ITrovixDB* store);
  [[nodiscard]] bool PauseUnlessStopped() const;
  void RecordSuccess(UINT size_before, ITrovixDB* store);
  void Notify(UINT message) const;

  const std::atomic<unsigned>& running_;
  const NotifyPanelsFn notify_;
  const Clock& clock_;
  const DWORD pause_ms_;
  CompactionThresholds thresholds_{kestine::kDefaultNighttimeDelta, kestine::kDefaultDaytimeDelta};
  UINT baseline_ = 0;  // E; 0 until learned
};

struct CompactionThreadParams {
  // RunningFlag; outlives the thread.
  const std::atomic<unsigned>* running = nullptr;
  // While it is true no pass starts (indexing is paused). May be null.
  const std::atomic<bool>* paused = nullptr;
  // CompactionWakeEvent (auto-reset); the host sets it after clearing
  // RunningFlag so the thread need not sit out its wait.
  Event* wake = nullptr;
  NotifyPanelsFn notify;
  // Shows "Could not get TrovixDB interface pointer" to the user when no
  // index store object can be made (the thread then ends). May be empty.
  std::function<void(std::string_view message)> show_error;
  const Clock* clock = &SystemClock();
  DWORD wait_ms = kCompactionWaitMs;
  DWORD pause_ms = kCompactionPauseMs;
};

// The thread procedure; returns 0. Initialises the component library for its
// thread.
DWORD CompactionThread(const CompactionThreadParams& params);

}  // namespace trovix::indexer
