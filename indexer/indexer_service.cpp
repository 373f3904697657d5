#include "indexer/indexer_service.h"

#include <thread>

#include "indexer/change_monitor.h"
#include "indexer/drive_scanner.h"
#include "indexer/scan_schedule.h"
#include "indexer/task_worker.h"
#include "platform/com.h"
#include "platform/file_info.h"
#include "platform/thread_priority.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {
namespace {

constexpr const char* kNoStore = "Could not get TrovixDB interface pointer";
constexpr DWORD kMonitorWaitMs = 12000;
constexpr DWORD kCompactionThreadWaitMs = 900000;
constexpr DWORD kScannerWaitMs = 1800000;
constexpr DWORD kTaskQueueWaitMs = 360000;

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
  DriveScannerParams scanner;  // a scanner's parameters, alive as long as its thread
  std::thread thread;
};

IndexerService::IndexerService(ServiceOptions options) : options_(std::move(options)) {}

IndexerService::~IndexerService() { Stop(); }

void IndexerService::ShowError(std::string_view message) const {
  if (options_.show_error) options_.show_error(message);
}

bool IndexerService::Start() {
  // This first Init of the process opens the database for every later
  // object; its answer is not examined (a closed database shows later).
  ComPtr<ITrovixDB> store = CreateStore();
  if (!store) {
    ShowError(kNoStore);
    return false;
  }
  static_cast<void>(store->Init());
  state_.extensions = IndexableExtensionSet::FromRegistry();
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
  StartScanners();
  StartCompaction();
  return true;
}

// Fixed and remote roots are watched; removable, optical and RAM ones are not.
void IndexerService::StartMonitors() {
  for (const std::string& root : options_.roots) {
    const UINT type = DriveTypeOfPath(root);
    if (type != DRIVE_FIXED && type != DRIVE_REMOTE) continue;
    auto monitor = std::make_unique<ChangeMonitor>(&state_, root, [root] { RequestRescan(root); });
    if (monitor->Start()) monitors_.push_back(std::move(monitor));
  }
}

void IndexerService::StartScanners() {
  for (const std::string& root : RootsToScan(options_.roots, DriveTypeOfPath)) {
    auto worker = std::make_unique<Worker>();
    worker->scanner.state = &state_;
    worker->scanner.scan_stop = &scan_stop_;
    worker->scanner.root = root;
    Worker* raw = worker.get();
    worker->thread = std::thread([raw] {
      DriveScannerThread(raw->scanner);
      raw->done.Set();
    });
    scanners_.push_back(std::move(worker));
  }
}

void IndexerService::StartCompaction() {
  compaction_ = std::make_unique<Worker>();
  CompactionThreadParams params;
  params.running = &state_.running;
  params.wake = &compaction_wake_;
  params.notify = options_.notify_panels;
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
  compaction_wake_.Set();
  if (compaction_) WaitOrReport(*compaction_, kCompactionThreadWaitMs, {});
  scan_stop_.Set();
  ComPtr<ITrovixDB> store = CreateStore();
  if (store) {
    static_cast<void>(store->Init());
    static_cast<void>(store->SetIndexingCancelledFlag(1));
  }
  StopScanners();
  state_.list_event.Set();
  if (tasks_ && !tasks_->WaitForEnd(kTaskQueueWaitMs)) {
    ShowError("Wait timeout when closing down worker thread");
  }
  if (store) static_cast<void>(store->Cleanup());
  monitors_.clear();
}

}  // namespace trovix::indexer
