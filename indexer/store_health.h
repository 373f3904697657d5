// Whether the index store can be used now, shared by the indexer's threads.
//
// A failure of the database itself (disk full, I/O error, busy or locked,
// missing, damaged, not open) says nothing about the file being indexed:
// going on with the next file only fails again, and a walk of a large tree
// then burns a core and floods the log. So a worker that meets such a
// failure reports it here and waits until the recovery thread (see
// store_recovery.h) has made the store usable again, instead of moving on.
//
// States:
//  1. available — workers go on.
//  2. unavailable — set by the first ReportFailure of an episode; later
//     reports of the same episode change nothing. Workers block in
//     WaitUntilAvailable (no processor time), the recovery thread wakes.
//  3. available again — MarkAvailable by the recovery thread; waiting
//     workers wake and retry what failed.
//  Stop ends every wait for good.
//
// Threads: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/hresult.h"
#include "platform/types.h"

namespace trovix::indexer {

class StoreHealth {
 public:
  // A worker met `hr`, a store failure. Answers true for the report that
  // began the episode (the caller may then tell the user, once).
  bool ReportFailure(HRESULT hr);
  // The recovery thread made the store usable again.
  void MarkAvailable();
  // Shutdown: wakes every waiter; waits answer at once from then on.
  void Stop();

  [[nodiscard]] bool available() const;
  // The failure that began the current (or last) episode; S_OK if none.
  [[nodiscard]] HRESULT failure() const;
  // Counts episodes: grows by one at each transition to unavailable.
  [[nodiscard]] std::uint64_t episodes() const;

  // Blocks until the store is available, Stop, or `timeout` passes. True
  // when available.
  [[nodiscard]] bool WaitUntilAvailable(std::chrono::milliseconds timeout);
  // For the recovery thread: blocks until the store is unavailable, Stop,
  // or `timeout` passes. True when unavailable (and not stopped).
  [[nodiscard]] bool WaitForTrouble(std::chrono::milliseconds timeout);
  // Blocks for `duration` unless Stop comes first. False when stopped.
  [[nodiscard]] bool PauseUnlessStopped(std::chrono::milliseconds duration);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool available_ = true;       // Guarded by mutex_.
  bool stopped_ = false;        // Guarded by mutex_.
  HRESULT failure_ = S_OK;      // Guarded by mutex_.
  std::uint64_t episodes_ = 0;  // Guarded by mutex_.
};

}  // namespace trovix::indexer
