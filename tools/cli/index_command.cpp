#include "tools/cli/index_command.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "indexer/directory_walk.h"
#include "indexer/file_processing.h"
#include "indexer/indexable_extensions.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

// Cleared by SIGINT or SIGTERM; doubles as IndexFile's continue flag.
std::atomic<unsigned> g_keep_going{1};
static_assert(std::atomic<unsigned>::is_always_lock_free);

extern "C" void StopRun(int) { g_keep_going = 0; }

struct Tally {
  std::size_t indexed = 0;
  std::size_t unchanged = 0;
  std::size_t skipped = 0;  // not an indexable type, partly read, or no filter
  std::size_t failed = 0;
};

class IndexRun {
 public:
  IndexRun(ITrovixDB* store, bool progress, std::ostream& err)
      : own_files_(indexer::IndexStoreFiles::Query(store)),
        types_(indexer::IndexableExtensionSet::FromRegistry()),
        progress_(progress),
        err_(err) {}

  void File(const std::string& path);
  const Tally& tally() const { return tally_; }
  void EndProgress() {
    if (progress_) err_ << "\r\033[K";
  }

 private:
  void Show(const std::string& path);

  indexer::IndexStoreFiles own_files_;
  indexer::IndexableExtensionSet types_;
  bool progress_;
  std::ostream& err_;
  Tally tally_;
  std::chrono::steady_clock::time_point last_shown_{};
};

void IndexRun::File(const std::string& path) {
  if (own_files_.Contains(path) || !types_.Contains(ExtensionOf(Utf8ToUtf16(path)))) {
    ++tally_.skipped;
    return;
  }
  Show(path);
  // The continue flag is read as IndexFile's UINT; the atomic has its layout.
  auto* keep_going = reinterpret_cast<UINT*>(&g_keep_going);
  switch (indexer::ProcessFile(path, keep_going)) {
    case indexer::FileOutcome::kIndexed:
      ++tally_.indexed;
      break;
    case indexer::FileOutcome::kUnchanged:
      ++tally_.unchanged;
      break;
    case indexer::FileOutcome::kFailed:
      ++tally_.failed;
      break;
    default:
      ++tally_.skipped;
      break;
  }
}

// At most ten updates a second: a terminal is slow to redraw.
void IndexRun::Show(const std::string& path) {
  if (!progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_shown_ < std::chrono::milliseconds(100)) return;
  last_shown_ = now;
  const std::string shown = path.size() > 50 ? "..." + path.substr(path.size() - 47) : path;
  err_ << "\r\033[K" << tally_.indexed << " indexed, " << tally_.unchanged
       << " unchanged: " << shown << std::flush;
}

}  // namespace

int RunIndex(const std::vector<std::string>& paths, bool progress, std::ostream& out,
             std::ostream& err) {
  StoreSession store;
  if (FAILED(store.status())) {
    err << "trovix: " << store.error() << "\n";
    return 2;
  }
  g_keep_going = 1;
  signal(SIGINT, StopRun);
  signal(SIGTERM, StopRun);
  IndexRun run(store.get(), progress, err);
  int status = 0;
  for (const std::string& path : paths) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      err << "trovix: cannot read " << path << "\n";
      status = 2;
    } else if (S_ISDIR(st.st_mode)) {
      indexer::WalkFolder(
          path, [&run](const std::string& file) { run.File(file); }, g_keep_going);
    } else {
      run.File(path);
    }
    if (g_keep_going == 0) break;
  }
  run.EndProgress();
  const Tally& t = run.tally();
  out << t.indexed << " indexed, " << t.unchanged << " unchanged, " << t.skipped << " skipped, "
      << t.failed << " failed" << (g_keep_going == 0 ? " (stopped)" : "") << "\n";
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  return status;
}

}  // namespace trovix::cli
