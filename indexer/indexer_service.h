// The indexer's worker threads, started and stopped in their fixed orders.
//
// Start: note an unclean end of the previous run (see run_marker.h) and
// mark every root due when there was one; open the database for the
// process, telling the store health when that fails; the recovery thread;
// the task queue thread (which starts the applier); a change monitor per
// fixed or remote index root; a scanner per fixed root; the compaction
// thread.
// Stop: monitors first (no new tasks arrive), then the compaction thread,
// then the recovery thread, then the scanners, then the task queue (which
// saves the backlog only after it sees RunningFlag at 0), each wait bounded.
// A wait that times out is reported and shutdown goes on; the thread is left
// to end with the process. The run marker is removed only when every thread
// ended in time and the backlog is safe.
//
// Settings changed while running (ApplySettings): the skip rules are
// replaced; when they or the roots changed, every monitor is restarted with
// the new rules (so skipped folders lose their watches and unskipped ones
// gain them), a new fixed root gets a scanner, a removed root's scanner
// idles, and every root is marked due so that its next walk indexes what
// became wanted and prunes what became skipped.
//
// Owned and driven by the main thread; the threads share only the
// IndexerState.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "indexer/compaction_scheduler.h"
#include "indexer/indexer_state.h"
#include "indexer/indexer_status.h"
#include "platform/sync.h"

namespace trovix::indexer {

class ChangeMonitor;
class TaskWorker;

struct ServiceOptions {
  // The index roots in order (a root's position is its completion key).
  std::vector<std::string> roots;
  // Posts a compaction message to the panels and bands; may be empty.
  NotifyPanelsFn notify_panels;
  // Shows a message to the user (caption "Error"); may be empty.
  std::function<void(std::string_view message)> show_error;
  // The backlog file; empty for the default place.
  std::string task_file;
  // The run marker; empty for the default place.
  std::string run_marker;
  // Tells the user of a problem of the whole indexer, once per problem;
  // called from any thread, must not block. May be empty.
  std::function<void(const std::string& message)> report;
};

class IndexerService {
 public:
  explicit IndexerService(ServiceOptions options);
  ~IndexerService();
  IndexerService(const IndexerService&) = delete;
  IndexerService& operator=(const IndexerService&) = delete;

  // Starts everything. False after a failure that was shown through
  // show_error; Stop must still be called.
  [[nodiscard]] bool Start();
  // Stops everything and closes the database for the process. Once.
  void Stop();

  // Takes the roots (in order) and the skip rules now configured; see
  // above. After Start, on the main thread.
  void ApplySettings(const std::vector<std::string>& roots);
  // The user's pause and the battery's: indexing waits while either is
  // set (IndexerState::paused), and lifting one leaves the other in force.
  // Lifting the last wakes the applier and the scanners. On the main thread.
  void SetPaused(bool paused);
  void SetPausedOnBattery(bool paused);
  // What the threads are doing now (pid and pause end are the caller's).
  [[nodiscard]] IndexerStatus Status() const;

  IndexerState& state() { return state_; }

 private:
  struct Worker;  // a thread with an event set when it ends
  void StartMonitors();
  void StartMonitor(const std::string& root);
  void StartScanners(bool recover);
  void StartScanner(const std::string& root, bool recover);
  void StartCompaction();
  void StartRecovery();
  void StartAnalysisFill();
  void StopMonitors();
  void StopScanners();
  void WaitOrReport(Worker& worker, DWORD timeout_ms, std::string_view timeout_message);
  void ShowError(std::string_view message) const;
  void UpdatePause();

  ServiceOptions options_;
  IndexerState state_;
  std::unique_ptr<TaskWorker> tasks_;
  std::vector<std::unique_ptr<ChangeMonitor>> monitors_;
  Event scan_stop_{/*manual_reset=*/true, /*initially_set=*/false};
  std::vector<std::unique_ptr<Worker>> scanners_;
  // The skip settings the monitors were started with: patterns, then the
  // hidden-folder flag.
  std::vector<std::string> skip_settings_;
  Event compaction_wake_{/*manual_reset=*/false, /*initially_set=*/false};
  std::unique_ptr<Worker> compaction_;
  std::unique_ptr<Worker> recovery_;
  std::unique_ptr<Worker> analysis_fill_;
  std::string run_marker_;
  // The two pauses (main thread only); state_.paused is their union.
  bool user_paused_ = false;
  bool battery_paused_ = false;
  // False once a thread was left running at the stop.
  bool all_ended_ = true;
  bool stopped_ = false;
};

}  // namespace trovix::indexer
