#include "indexer/indexer_service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "indexer/analysis_fill.h"
#include "indexer/change_monitor.h"
#include "indexer/drive_scanner.h"
#include "indexer/run_marker.h"
#include "indexer/scan_schedule.h"
#include "indexer/skip_paths.h"
#include "indexer/store_recovery.h"
#include "indexer/task_worker.h"
#include "platform/com.h"
#include "platform/file_info.h"
#include "platform/thread_priority.h"
#include "shared/database_format.h"
#include "shared/database_repair.h"
#include "shared/diagnostic_log.h"
#include "shared/itrovixdb.h"
#include "shared/messages.h"

namespace trovix::indexer {
namespace {

constexpr const char* kNoStore = "Could not get TrovixDB interface pointer";
constexpr DWORD kMonitorWaitMs = 12000;
constexpr DWORD kCompactionThreadWaitMs = 900000;
constexpr DWORD kScannerWaitMs = 1800000;
constexpr DWORD kTaskQueueWaitMs = 360000;
constexpr DWORD kRecoveryWaitMs = 60000;

// What decides the skip rules, to tell whether they changed.
std::vector<std::string> SkipSettings() {
  std::vector<std::string> settings = ConfiguredSkipPatterns();
  const std::optional<DWORD> hidden = KestineKey::Global().Read(kestine::kIndexHiddenFolders);
  settings.push_back("hidden=" + std::to_string(hidden.value_or(0)));
  return settings;
}

ComPtr<ITrovixDB> CreateStore() {
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    store.reset();
  }
  return store;
}

}  // namespace

// A thread of the service and the event it sets when it ends, so that the
// main thread can wait for it with a time-out.
struct IndexerService::Worker {
  Event done{/*manual_reset=*/true, /*initially_set=*/false};
  std::atomic<bool> active{true};  // a scanner's: false while its root is not configured
  DriveScannerParams scanner;      // a scanner's parameters, alive as long as its thread
  StoreRecoveryParams recovery;    // the recovery thread's, likewise
  std::thread thread;
};

IndexerService::IndexerService(ServiceOptions options) : options_(std::move(options)) {}

IndexerService::~IndexerService() { Stop(); }

void IndexerService::ShowError(std::string_view message) const {
  if (options_.show_error) options_.show_error(message);
}

bool IndexerService::Start() {
  state_.report = options_.report;
  run_marker_ = options_.run_marker.empty() ? RunMarkerPath() : options_.run_marker;
  const bool unclean = RunMarkerExists(run_marker_);
  if (const int error = CreateRunMarker(run_marker_); error != 0) {
    state_.Report("cannot write " + run_marker_ + " (" + std::strerror(error) +
                  "): after a crash, changes seen meanwhile may be missed until the next scan");
  }
  // This first Init of the process opens the database for every later
  // object. A failure is the recovery thread's to mend; E_UNEXPECTED means
  // another object of this process opened it already.
  ComPtr<ITrovixDB> store = CreateStore();
  if (!store) {
    ShowError(kNoStore);
    return false;
  }
  if (const HRESULT hr = store->Init(); FAILED(hr) && hr != E_UNEXPECTED) {
    static_cast<void>(state_.health.ReportFailure(hr));
  }
  if (unclean) {
    state_.Report(
        "the indexer did not stop cleanly last time; every folder is walked again so that no "
        "change is lost");
    for (const std::string& root : options_.roots) RequestRescan(root);
  }
  state_.extensions = IndexableExtensionSet::FromRegistry();
  skip_settings_ = SkipSettings();
  state_.skip.Set(SkipRules::FromRegistry());
  state_.notices.set_sink(
      [](const std::string& line) { LogEvent(__FILE__, __LINE__, S_OK, line); });
  StartRecovery();
  TaskWorkerOptions task_options;
  if (!options_.task_file.empty()) task_options.task_file = options_.task_file;
  task_options.on_no_index_store = [this] { ShowError(kNoStore); };
  // The applier's level follows the backlog; the level read back is the one
  // in force (a refused change is ignored).
  task_options.set_priority = [](pid_t thread, ApplierPriority level) {
    static_cast<void>(SetThreadPriorityLevel(thread, static_cast<int>(level)));
    int in_force = static_cast<int>(level);
    static_cast<void>(GetThreadPriorityLevel(thread, &in_force));
    return static_cast<ApplierPriority>(in_force);
  };
  tasks_ = std::make_unique<TaskWorker>(state_, std::move(task_options));
  tasks_->Start();
  StartMonitors();
  StartScanners(unclean);
  StartCompaction();
  StartAnalysisFill();
  return true;
}

// Terms for the files an earlier version catalogued, while everything else
// runs; the thread ends when none is left.
void IndexerService::StartAnalysisFill() {
  analysis_fill_ = std::make_unique<Worker>();
  AnalysisFillParams params;
  params.running = &state_.running;
  params.paused = &state_.paused;
  Worker* raw = analysis_fill_.get();
  analysis_fill_->thread = std::thread([raw, params] {
    static_cast<void>(AnalysisFillThread(params));
    raw->done.Set();
  });
}

void IndexerService::StartRecovery() {
  recovery_ = std::make_unique<Worker>();
  StoreRecoveryParams& params = recovery_->recovery;
  params.state = &state_;
  params.database = DefaultDatabaseLocation().path;
  params.roots = options_.roots;
  params.examine = [](const std::string& path) {
    DatabaseCheck check;
    static_cast<void>(CheckDatabase(path, &check));
    return check.condition;
  };
  params.recreate = [](const std::string& path, std::string* kept_as) {
    return MoveAsideAndRecreate(path, kept_as);
  };
  params.request_rescan = [](const std::string& root) { RequestRescan(root); };
  Worker* raw = recovery_.get();
  recovery_->thread = std::thread([raw] {
    StoreRecoveryThread(raw->recovery);
    raw->done.Set();
  });
}

// Fixed and remote roots are watched; removable, optical and RAM ones are not.
void IndexerService::StartMonitors() {
  for (const std::string& root : options_.roots) StartMonitor(root);
}

void IndexerService::StartMonitor(const std::string& root) {
  const UINT type = DriveTypeOfPath(root);
  if (type != DRIVE_FIXED && type != DRIVE_REMOTE) return;
  auto monitor = std::make_unique<ChangeMonitor>(
      &state_, root, [root] { RequestRescan(root); },
      [](const std::string& line) {
        std::fprintf(stderr, "change monitor: %s\n", line.c_str());
        LogEvent(__FILE__, __LINE__, S_OK, "change monitor: " + line);
      });
  if (monitor->Start()) monitors_.push_back(std::move(monitor));
}

void IndexerService::StartScanners(bool recover) {
  for (const std::string& root : RootsToScan(options_.roots, DriveTypeOfPath)) {
    StartScanner(root, recover);
  }
}

void IndexerService::StartScanner(const std::string& root, bool recover) {
  auto worker = std::make_unique<Worker>();
  worker->scanner.state = &state_;
  worker->scanner.scan_stop = &scan_stop_;
  worker->scanner.root = root;
  worker->scanner.recover = recover;
  worker->scanner.active = &worker->active;
  Worker* raw = worker.get();
  worker->thread = std::thread([raw] {
    DriveScannerThread(raw->scanner);
    raw->done.Set();
  });
  scanners_.push_back(std::move(worker));
}

void IndexerService::ApplySettings(const std::vector<std::string>& roots) {
  if (stopped_) return;
  std::vector<std::string> skip_settings = SkipSettings();
  if (roots == options_.roots && skip_settings == skip_settings_) return;
  skip_settings_ = std::move(skip_settings);
  options_.roots = roots;
  state_.skip.Set(SkipRules::FromRegistry());
  // Changes made between the old monitors' end and the new ones' watches
  // are caught by the walks asked for below.
  StopMonitors();
  monitors_.clear();
  StartMonitors();
  const std::vector<std::string> scanned = RootsToScan(roots, DriveTypeOfPath);
  for (const auto& scanner : scanners_) {
    scanner->active =
        std::find(scanned.begin(), scanned.end(), scanner->scanner.root) != scanned.end();
  }
  for (const std::string& root : scanned) {
    const bool has_scanner = std::any_of(scanners_.begin(), scanners_.end(),
                                         [&](const auto& s) { return s->scanner.root == root; });
    if (!has_scanner) StartScanner(root, /*recover=*/false);
  }
  for (const std::string& root : roots) RequestRescan(root);
}

void IndexerService::SetPaused(bool paused) {
  user_paused_ = paused;
  UpdatePause();
}

void IndexerService::SetPausedOnBattery(bool paused) {
  battery_paused_ = paused;
  UpdatePause();
}

void IndexerService::UpdatePause() {
  const bool paused = user_paused_ || battery_paused_;
  if (state_.paused.exchange(paused) == paused || paused) return;
  state_.list_event.Set();  // the queue thread moves what is pending; the applier follows
}

IndexerStatus IndexerService::Status() const {
  IndexerStatus status;
  status.paused = user_paused_;
  status.on_battery = battery_paused_;
  status.compacting = state_.activity.compacting.load();
  status.backlog = tasks_ ? tasks_->backlog() : 0;
  status.settling = tasks_ ? tasks_->settling() : 0;
  status.applied = tasks_ ? tasks_->applied() : 0;
  status.scans = state_.activity.Scans();
  return status;
}

void IndexerService::StartCompaction() {
  compaction_ = std::make_unique<Worker>();
  CompactionThreadParams params;
  params.running = &state_.running;
  params.paused = &state_.paused;
  params.wake = &compaction_wake_;
  params.notify = [this](UINT message) {
    state_.activity.compacting = message == WM_COMPACTION_BEGIN;
    if (options_.notify_panels) options_.notify_panels(message);
  };
  params.show_error = [this](std::string_view message) { ShowError(message); };
  Worker* raw = compaction_.get();
  compaction_->thread = std::thread([raw, params] {
    CompactionThread(params);
    raw->done.Set();
  });
}

void IndexerService::WaitOrReport(Worker& worker, DWORD timeout_ms,
                                  std::string_view timeout_message) {
  if (!worker.thread.joinable()) return;
  if (worker.done.Wait(timeout_ms) == WAIT_OBJECT_0) {
    worker.thread.join();
    return;
  }
  if (!timeout_message.empty()) ShowError(timeout_message);
  all_ended_ = false;
  worker.thread.detach();  // never terminated; it ends with the process
}

void IndexerService::StopMonitors() {
  for (auto& monitor : monitors_) monitor->RequestStop();
  for (auto& monitor : monitors_) static_cast<void>(monitor->WaitForExit(kMonitorWaitMs));
}

void IndexerService::StopScanners() {
  for (auto& scanner : scanners_) {
    WaitOrReport(*scanner, kScannerWaitMs, "Wait timeout when closing down scanner thread");
  }
  scanners_.clear();
}

void IndexerService::Stop() {
  if (stopped_) return;
  stopped_ = true;
  StopMonitors();
  state_.running = 0;
  state_.health.Stop();  // waits for the store end now
  compaction_wake_.Set();
  if (compaction_) WaitOrReport(*compaction_, kCompactionThreadWaitMs, {});
  if (recovery_) WaitOrReport(*recovery_, kRecoveryWaitMs, {});
  if (analysis_fill_) {
    WaitOrReport(*analysis_fill_, kScannerWaitMs, "Wait timeout when closing down analysis thread");
  }
  scan_stop_.Set();
  ComPtr<ITrovixDB> store = CreateStore();
  if (store) {
    static_cast<void>(store->Init());
    static_cast<void>(store->SetIndexingCancelledFlag(1));
  }
  StopScanners();
  state_.list_event.Set();
  bool backlog_safe = false;
  if (tasks_ && !tasks_->WaitForEnd(kTaskQueueWaitMs)) {
    ShowError("Wait timeout when closing down worker thread");
  } else {
    backlog_safe = !tasks_ || tasks_->backlog_saved();
  }
  if (store) static_cast<void>(store->Cleanup());
  monitors_.clear();
  // Kept when a change could be lost: the next start then walks every root.
  if (!backlog_safe) {
    state_.Report(
        "the backlog of changes could not be saved; every folder is walked again at "
        "the next start");
  } else if (all_ended_) {
    static_cast<void>(RemoveRunMarker(run_marker_));
  }
}

}  // namespace trovix::indexer
