// The indexer's worker threads, started and stopped in their fixed orders.
//
// Start: open the database for the process; the task queue thread (which
// starts the applier); a change monitor per fixed or remote index root; a
// scanner per fixed root whose scan is due; the compaction thread.
// Stop: monitors first (no new tasks arrive), then the compaction thread,
// then the scanners, then the task queue (which saves the backlog only after
// it sees RunningFlag at 0), each wait bounded. A wait that times out is
// reported and shutdown goes on; the thread is left to end with the process.
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

  IndexerState& state() { return state_; }

 private:
  struct Worker;  // a thread with an event set when it ends
  void StartMonitors();
  void StartScanners();
  void StartCompaction();
  void StopMonitors();
  void StopScanners();
  void WaitOrReport(Worker& worker, DWORD timeout_ms, std::string_view timeout_message);
  void ShowError(std::string_view message) const;

  ServiceOptions options_;
  IndexerState state_;
  std::unique_ptr<TaskWorker> tasks_;
  std::vector<std::unique_ptr<ChangeMonitor>> monitors_;
  Event scan_stop_{/*manual_reset=*/true, /*initially_set=*/false};
  std::vector<std::unique_ptr<Worker>> scanners_;
  Event compaction_wake_{/*manual_reset=*/false, /*initially_set=*/false};
  std::unique_ptr<Worker> compaction_;
  bool stopped_ = false;
};

}  // namespace trovix::indexer
