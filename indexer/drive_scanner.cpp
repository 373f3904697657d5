#include "indexer/drive_scanner.h"

#include <dirent.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "indexer/bulk_indexer.h"
#include "indexer/catalogue_prune.h"
#include "indexer/directory_walk.h"
#include "indexer/kestine_settings.h"
#include "indexer/tree_indexer.h"
#include "platform/com.h"
#include "platform/file_info.h"
#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/thread_priority.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

constexpr DWORD kLastRetryMs = 600000;

std::string FailureText(HRESULT hr) {
  std::string text = "the index database failed: " + StatusName(hr);
  const std::string message = StatusMessage(hr);
  if (!message.empty()) text += " (" + message + ")";
  return text;
}

// The root's device when it is a folder that can be listed. A root that is
// missing or unreadable is walked (to nothing) but never pruned: an
// unmounted or unreadable root must not empty its part of the index.
std::optional<dev_t> ListableRoot(const std::string& root) {
  struct stat st {};
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return std::nullopt;
  closedir(dir);
  return st.st_dev;
}

// One walk of the root, with its records; nothing when no index store
// object can be made (the walk is put off to the next check and nothing is
// recorded). The store object is held for the whole walk: it tells which
// files are the index store's own and keeps the module loaded between files.
std::optional<WalkEnd> WalkRoot(const DriveScannerParams& params) {
  IndexerState& state = *params.state;
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    return std::nullopt;
  }
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  ScanRecorder record(params.root, *params.clock);
  const IndexStoreFiles own = IndexStoreFiles::Query(store.get());
  HRESULT failure = S_OK;
  WalkEnd end = WalkEnd::kStoreFailed;
  if (!own.known()) {
    // Without the database's own paths nothing can be indexed safely, and
    // they are unknown only while the database is not open.
    failure = E_UNEXPECTED;
    static_cast<void>(state.health.ReportFailure(failure));
  } else {
    const std::optional<dev_t> device = ListableRoot(params.root);
    state.activity.BeginScan(params.root);
    end = ScanDirectory(params.root, state, own, &failure, device);
    state.activity.EndScan(params.root);
  }
  if (end == WalkEnd::kStoreFailed) {
    record.FinishFailed(FailureText(failure));
  } else {
    record.Finish(end == WalkEnd::kCompleted);
  }
  return end;
}

}  // namespace

bool IsIndexableFile(const std::string& path, const IndexableExtensionSet& extensions) {
  const WString wide = Utf8ToUtf16(path);
  const std::u16string_view extension = ExtensionOf(wide);
  return extensions.Contains(extension);
}

// The extension test first: it is in memory, while Contains resolves the
// path on disk. A file counts as done (notices, the walk's end) only once
// the pipeline reported it, i.e. once its batch committed. The pipeline's
// threads take the scanner's priority: idle when it is.
WalkEnd ScanDirectory(const std::string& directory, IndexerState& state, const IndexStoreFiles& own,
                      HRESULT* failure, std::optional<dev_t> prune_device) {
  *failure = S_OK;
  HRESULT made = S_OK;
  const ComPtr<ITrovixBatch> store = OpenBatchStore(&made);
  if (!store) {
    *failure = FAILED(made) ? made : E_NOINTERFACE;
    return WalkEnd::kStoreFailed;
  }
  BulkOptions options;
  options.keep_going = &state.running;
  options.idle_priority = sched_getscheduler(0) == SCHED_IDLE;
  BulkIndexer bulk(options, [&state, &directory](const BulkResult& result) {
    if (result.outcome == FileOutcome::kStoreUnavailable || result.removal) return;
    state.activity.FileScanned(directory);
    static_cast<void>(state.notices.Note(result.path, result.outcome, result.status));
  });
  const std::shared_ptr<const SkipRules> skip = state.skip.Get();
  const auto wanted = [&](const std::string& path) {
    return IsIndexableFile(path, state.extensions) && !skip->Skips(path, /*folder=*/false) &&
           !own.Contains(path);
  };
  const auto enter = [&](const std::string& folder) {
    return !skip->Skips(folder, /*folder=*/true);
  };
  const auto settled = [&](const std::string& path, FileOutcome outcome) {
    if (outcome == FileOutcome::kStoreUnavailable) return;
    state.activity.FileScanned(directory);
    static_cast<void>(state.notices.Note(path, outcome, S_OK));
  };
  const auto walk_on = [&] {
    return state.running.load() != 0 && !state.paused.load() && SUCCEEDED(bulk.failure());
  };
  WantedFile on_disk;
  if (prune_device) {
    on_disk = [&, device = *prune_device](const std::string& path) {
      return !skip->SkipsBelow(directory, path, /*folder=*/false) &&
             IsWantedOnDisk(path, state.extensions, own, device);
    };
  }
  const bool walked =
      IndexTree(directory, store.get(), bulk, wanted, settled, walk_on, enter, on_disk);
  *failure = bulk.Finish();
  if (FAILED(*failure)) {
    static_cast<void>(state.health.ReportFailure(*failure));
    return WalkEnd::kStoreFailed;
  }
  return walked && walk_on() ? WalkEnd::kCompleted : WalkEnd::kStopped;
}

DWORD ScanRetryDelayMs(unsigned failures, DWORD first_ms) {
  DWORD delay = first_ms;
  for (unsigned i = 1; i < failures && delay < kLastRetryMs; ++i) delay *= 2;
  return std::min(delay, kLastRetryMs);
}

DWORD DriveScannerThread(const DriveScannerParams& params) {
  if (params.idle_priority) static_cast<void>(EnterIdleCpuScheduling());
  const std::optional<DWORD> suppress = KestineKey::Global().Read(kestine::kSuppressStartupScan);
  const bool suppressed = suppress && *suppress != 0;
  if (suppressed && !params.recover) return 0;
  const ComInit com;
  std::atomic<unsigned>& running = params.state->running;
  unsigned failures = 0;
  auto retry_at = std::chrono::steady_clock::time_point{};
  // A recovery walk starts at once; the others at the first check. A walk
  // is not tried while the store is unavailable, nor before the back-off
  // after a failed one has passed.
  bool wait = !params.recover;
  while (running == 1) {
    if (wait && params.scan_stop->Wait(params.poll_ms) != WAIT_TIMEOUT) continue;
    wait = true;
    if (running != 1 || !params.state->health.available()) continue;
    if (params.state->paused.load() || (params.active != nullptr && !params.active->load())) {
      continue;
    }
    if (std::chrono::steady_clock::now() < retry_at) continue;
    // After a failure the walk is due whatever the records say: a full disk
    // may have kept the failure from being written.
    if (failures == 0 && !IsDriveScanDue(params.root, *params.clock)) continue;
    const std::optional<WalkEnd> end = WalkRoot(params);
    if (end == WalkEnd::kStoreFailed) {
      ++failures;
      retry_at = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(ScanRetryDelayMs(failures, params.retry_ms));
      continue;
    }
    if (end) failures = 0;
    if (suppressed && end == WalkEnd::kCompleted) return 0;
  }
  return 0;
}

std::vector<std::string> RootsToScan(const std::vector<std::string>& roots,
                                     const DriveTypeFn& drive_type) {
  std::vector<std::string> chosen;
  for (const std::string& root : roots) {
    if (chosen.size() == kMaxDriveScanners) break;
    const UINT type = drive_type ? drive_type(root) : DriveTypeOfPath(root);
    if (type == DRIVE_FIXED) chosen.push_back(root);
  }
  return chosen;
}

}  // namespace trovix::indexer
