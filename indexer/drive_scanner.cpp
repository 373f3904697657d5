#include "indexer/drive_scanner.h"

#include "indexer/directory_walk.h"
#include "indexer/kestine_settings.h"
#include "platform/com.h"
#include "platform/file_info.h"
#include "platform/paths.h"
#include "platform/thread_priority.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

// One walk of the root, with its records. The store object is held for the
// whole walk: it tells which files are the index store's own and keeps the
// module loaded between files. Without one the walk is put off to the next
// check, and nothing is recorded.
void WalkRoot(const DriveScannerParams& params) {
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    return;
  }
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  const IndexStoreFiles own = IndexStoreFiles::Query(store.get());
  ScanRecorder record(params.root, *params.clock);
  record.Finish(ScanDirectory(params.root, *params.state, own));
}

}  // namespace

bool IsIndexableFile(const std::string& path, const IndexableExtensionSet& extensions) {
  const WString wide = Utf8ToUtf16(path);
  const std::u16string_view extension = ExtensionOf(wide);
  return !extension.empty() && extensions.Contains(extension);
}

bool ScanDirectory(const std::string& directory, IndexerState& state, const IndexStoreFiles& own) {
  UINT* keep_going = state.continue_flag();
  // The extension test first: it is in memory, while Contains resolves the
  // path on disk.
  const auto visit = [&](const std::string& path) {
    if (!IsIndexableFile(path, state.extensions) || own.Contains(path)) return;
    static_cast<void>(ProcessFile(path, keep_going));
  };
  return WalkFolder(directory, visit, state.running);
}

DWORD DriveScannerThread(const DriveScannerParams& params) {
  if (params.idle_priority) static_cast<void>(EnterIdleCpuScheduling());
  const std::optional<DWORD> suppress = KestineKey::Global().Read(kestine::kSuppressStartupScan);
  if (suppress && *suppress != 0) return 0;
  const ComInit com;
  std::atomic<unsigned>& running = params.state->running;
  while (running == 1) {
    if (params.scan_stop->Wait(params.poll_ms) != WAIT_TIMEOUT) continue;
    if (running == 1 && IsDriveScanDue(params.root, *params.clock)) {
      WalkRoot(params);
    }
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
