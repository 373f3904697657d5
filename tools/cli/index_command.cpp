#include "tools/cli/index_command.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "indexer/bulk_indexer.h"
#include "indexer/catalogue_prune.h"
#include "indexer/directory_walk.h"
#include "indexer/file_processing.h"
#include "indexer/indexable_extensions.h"
#include "indexer/skip_paths.h"
#include "indexer/tree_indexer.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "tools/cli/output.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

using indexer::FileOutcome;

// Cleared by SIGINT or SIGTERM; doubles as IndexFile's continue flag.
std::atomic<unsigned> g_keep_going{1};
static_assert(std::atomic<unsigned>::is_always_lock_free);

extern "C" void StopRun(int) { g_keep_going = 0; }

// Failed files listed on stderr; the rest are only counted.
constexpr std::size_t kFailuresShown = 10;

// The waits before each new attempt at a file the database failed on: a
// busy database (another process writing) usually answers within them.
constexpr std::chrono::milliseconds kStoreRetryDelays[] = {std::chrono::milliseconds(200),
                                                           std::chrono::milliseconds(500),
                                                           std::chrono::milliseconds(1000)};

struct Tally {
  std::size_t indexed = 0;
  std::size_t unchanged = 0;
  std::size_t not_indexable = 0;  // not an indexable type, or the store's own file
  std::size_t no_filter = 0;
  std::size_t too_long = 0;
  std::size_t too_large = 0;
  std::size_t partial = 0;
  std::size_t failed = 0;  // unreadable or refused
  std::size_t removed = 0;
  std::size_t not_done = 0;  // left after the database failed

  std::size_t skipped() const { return not_indexable + no_filter + too_long + too_large; }
};

struct FailedFile {
  std::string path;
  FileOutcome outcome;
  HRESULT status;
};

// The absolute form of a named path, symbolic links resolved as the
// catalogue keeps paths; for a path that no longer exists, its absolute
// form without "." and "..".
std::string Absolute(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (resolved) return resolved.get();
  std::error_code error;
  std::string absolute = std::filesystem::absolute(path, error).lexically_normal().string();
  if (error) return path;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

class IndexRun {
 public:
  IndexRun(ITrovixDB* store, bool terminal, std::ostream& err)
      : store_(store),
        own_files_(indexer::IndexStoreFiles::Query(store)),
        types_(indexer::IndexableExtensionSet::FromRegistry()),
        skip_(indexer::SkipRules::FromRegistry()),
        terminal_(terminal),
        err_(err) {}

  // The path named on the command line that the next calls do.
  void Named(const std::string& path) { named_ = path; }
  void File(const std::string& path);
  // Indexes every indexable file below `folder` (on `device`) and, once the
  // walk ran to its end, removes the catalogued files below it that are
  // gone from disk.
  void Folder(const std::string& folder, dev_t device);
  // Removes what was catalogued at or below a path that no longer exists;
  // false when nothing was.
  bool RemoveMissing(const std::string& path);

  bool store_failed() const { return FAILED(store_status_); }
  const Tally& tally() const { return tally_; }
  void EndProgress() {
    if (terminal_) err_ << "\r\033[K";
  }
  void ReportFailures() const;
  void ReportStoreFailure() const;

 private:
  FileOutcome Process(const std::string& path, HRESULT* status);
  [[nodiscard]] bool Wanted(const std::string& path);
  // Thread-safe: the bulk pipeline reports from its writer thread.
  void Count(const std::string& path, FileOutcome outcome, HRESULT status);
  void Prune(const std::string& folder, const std::function<bool(const std::string&)>& wanted);
  // Whether `path`, below the walked `folder` on `device`, is still wanted
  // in the catalogue.
  [[nodiscard]] bool WantedOnDisk(const std::string& folder, dev_t device,
                                  const std::string& path) const;
  void Show(const std::string& path);
  std::string Shown(const std::string& path) const {
    return terminal_ ? TerminalText(Utf8ToUtf16(path)) : path;
  }

  ITrovixDB* store_;
  indexer::IndexStoreFiles own_files_;
  indexer::IndexableExtensionSet types_;
  // The skip rules apply below a named path, never to the path itself.
  indexer::SkipRules skip_;
  std::string named_;  // the path named on the command line being done
  bool terminal_;
  std::ostream& err_;
  Tally tally_;
  std::vector<FailedFile> failures_;  // the first kFailuresShown failed or partial
  HRESULT store_status_ = S_OK;       // the database's failure that stopped the run
  std::chrono::steady_clock::time_point last_shown_{};
  // Guards tally_, failures_ and store_status_ while a bulk pipeline runs.
  std::mutex count_mutex_;
};

// The extension test first: it is in memory, while Contains resolves the
// path on disk.
bool IndexRun::Wanted(const std::string& path) {
  const std::lock_guard lock(count_mutex_);
  if (!types_.Contains(ExtensionOf(Utf8ToUtf16(path))) || own_files_.Contains(path) ||
      skip_.SkipsBelow(named_, path, /*folder=*/false)) {
    ++tally_.not_indexable;
    return false;
  }
  if (store_failed()) {
    ++tally_.not_done;
    return false;
  }
  Show(path);
  return true;
}

void IndexRun::File(const std::string& path) {
  if (!Wanted(path)) return;
  HRESULT status = S_OK;
  const FileOutcome outcome = Process(path, &status);
  Count(path, outcome, status);
}

// Through the bulk pipeline the walk removes what is gone as it goes; one
// file at a time (a store without the pipeline), a pass over the catalogue
// below the folder follows the walk.
void IndexRun::Folder(const std::string& folder, dev_t device) {
  named_ = folder;
  const auto on_disk = [this, &folder, device](const std::string& path) {
    return WantedOnDisk(folder, device, path);
  };
  ComPtr<ITrovixBatch> batch;
  if (FAILED(store_->QueryInterface(IID_ITrovixBatch, batch.put_void()))) {
    if (indexer::WalkFolder(
            folder, [this](const std::string& file) { File(file); }, g_keep_going) &&
        g_keep_going != 0) {
      Prune(folder, on_disk);
    }
    return;
  }
  indexer::BulkOptions options;
  options.keep_going = &g_keep_going;
  indexer::BulkIndexer bulk(options, [this](const indexer::BulkResult& result) {
    if (!result.removal || result.outcome == FileOutcome::kStoreUnavailable) {
      Count(result.path, result.outcome, result.status);
    } else if (result.outcome == FileOutcome::kUnchanged && result.status == S_OK) {
      const std::lock_guard lock(count_mutex_);
      ++tally_.removed;
    }
  });
  static_cast<void>(indexer::IndexTree(
      folder, batch.get(), bulk, [this](const std::string& path) { return Wanted(path); },
      [this](const std::string& path, FileOutcome outcome) { Count(path, outcome, S_OK); },
      [] { return g_keep_going != 0; },
      [this](const std::string& path) { return !skip_.Skips(path, /*folder=*/true); }, on_disk));
  const HRESULT failure = bulk.Finish();
  if (FAILED(failure)) {
    const std::lock_guard lock(count_mutex_);
    store_status_ = failure;
  }
}

FileOutcome IndexRun::Process(const std::string& path, HRESULT* status) {
  // The continue flag is read as IndexFile's UINT; the atomic has its layout.
  auto* keep_going = reinterpret_cast<UINT*>(&g_keep_going);
  FileOutcome outcome = indexer::ProcessFile(path, keep_going, status);
  for (const auto delay : kStoreRetryDelays) {
    if (outcome != FileOutcome::kStoreUnavailable || g_keep_going == 0) break;
    std::this_thread::sleep_for(delay);
    outcome = indexer::ProcessFile(path, keep_going, status);
  }
  return outcome;
}

void IndexRun::Count(const std::string& path, FileOutcome outcome, HRESULT status) {
  const std::lock_guard lock(count_mutex_);
  switch (outcome) {
    case FileOutcome::kIndexed:
      ++tally_.indexed;
      return;
    case FileOutcome::kUnchanged:
      ++tally_.unchanged;
      return;
    case FileOutcome::kPartial:
      ++tally_.partial;
      if (failures_.size() < kFailuresShown) failures_.push_back({path, outcome, status});
      return;
    case FileOutcome::kNoFilter:
      ++tally_.no_filter;
      return;
    case FileOutcome::kTooLong:
      ++tally_.too_long;
      return;
    case FileOutcome::kTooLarge:
      ++tally_.too_large;
      return;
    case FileOutcome::kStoreUnavailable:
      store_status_ = FAILED(status) ? status : E_FAIL;
      ++tally_.not_done;
      return;
    case FileOutcome::kUnreadable:
    case FileOutcome::kFailed:
      ++tally_.failed;
      if (failures_.size() < kFailuresShown) failures_.push_back({path, outcome, status});
      return;
  }
}

void IndexRun::Prune(const std::string& folder,
                     const std::function<bool(const std::string&)>& wanted) {
  if (store_failed() || g_keep_going == 0) return;
  indexer::PruneStats stats;
  const HRESULT hr = indexer::PruneFolder(store_, folder, wanted, g_keep_going, &stats);
  tally_.removed += stats.removed;
  if (FAILED(hr) && hr != E_ABORT) store_status_ = hr;
}

bool IndexRun::WantedOnDisk(const std::string& folder, dev_t device,
                            const std::string& path) const {
  return !skip_.SkipsBelow(folder, path, /*folder=*/false) &&
         indexer::IsWantedOnDisk(path, types_, own_files_, device);
}

bool IndexRun::RemoveMissing(const std::string& path) {
  if (store_failed()) return true;  // not known: the run stops anyway
  const std::size_t before = tally_.removed;
  const HRESULT hr = indexer::RemoveCataloguedFile(store_, Utf8ToUtf16(path).c_str());
  if (FAILED(hr)) {
    store_status_ = hr;
    return true;
  }
  if (hr == S_OK) ++tally_.removed;
  Prune(path, [](const std::string&) { return false; });
  return tally_.removed > before;
}

void IndexRun::ReportFailures() const {
  const std::size_t count = tally_.failed + tally_.partial;
  if (count == 0) return;
  err_ << "trovix: " << count << (count == 1 ? " file was" : " files were")
       << " not indexed in full:\n";
  for (const FailedFile& failure : failures_) {
    // A partly read file has no failure status: its reader stopped early.
    err_ << "  " << Shown(failure.path) << ": " << indexer::OutcomeReason(failure.outcome);
    if (FAILED(failure.status)) err_ << " (" << Describe(failure.status) << ")";
    err_ << "\n";
  }
  if (count > failures_.size()) err_ << "  and " << count - failures_.size() << " more\n";
}

void IndexRun::ReportStoreFailure() const {
  err_ << "trovix: the index database failed: " << Describe(store_status_) << "; "
       << tally_.not_done << (tally_.not_done == 1 ? " file was" : " files were")
       << " not done. Run trovix index again once the database works (details are in the "
          "diagnostic log).\n";
}

// At most ten updates a second: a terminal is slow to redraw.
void IndexRun::Show(const std::string& path) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_shown_ < std::chrono::milliseconds(100)) return;
  last_shown_ = now;
  const std::string shown = path.size() > 50 ? "..." + path.substr(path.size() - 47) : path;
  err_ << "\r\033[K" << tally_.indexed << " indexed, " << tally_.unchanged
       << " unchanged: " << Shown(shown) << std::flush;
}

std::string SummaryLine(const Tally& t, bool stopped) {
  std::string line = std::to_string(t.indexed) + " indexed, " + std::to_string(t.unchanged) +
                     " unchanged, " + std::to_string(t.skipped()) + " skipped";
  std::string reasons;
  const std::pair<std::size_t, const char*> details[] = {{t.no_filter, " without a filter"},
                                                         {t.too_large, " too large"},
                                                         {t.too_long, " with too long a path"}};
  for (const auto& [count, what] : details) {
    if (count == 0) continue;
    reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + what;
  }
  if (!reasons.empty()) line += " (" + reasons + ")";
  line += ", " + std::to_string(t.failed) + " failed, " + std::to_string(t.removed) + " removed";
  if (t.partial > 0) line += ", " + std::to_string(t.partial) + " partly read";
  return line + (stopped ? " (stopped)" : "");
}

// Indexes one named path; false when it neither exists nor was catalogued.
bool IndexPath(IndexRun& run, const std::string& named) {
  const std::string path = Absolute(named);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return run.RemoveMissing(path);
  if (!S_ISDIR(st.st_mode)) {
    run.Named(path);
    run.File(path);
    return true;
  }
  run.Folder(path, st.st_dev);
  return true;
}

}  // namespace

int RunIndex(const std::vector<std::string>& paths, bool terminal, std::ostream& out,
             std::ostream& err) {
  StoreSession store;
  if (FAILED(store.status())) {
    err << "trovix: " << store.error() << "\n";
    return 2;
  }
  g_keep_going = 1;
  signal(SIGINT, StopRun);
  signal(SIGTERM, StopRun);
  IndexRun run(store.get(), terminal, err);
  bool all_found = true;
  for (const std::string& path : paths) {
    if (!IndexPath(run, path)) {
      err << "trovix: cannot read " << path << "\n";
      all_found = false;
    }
    if (g_keep_going == 0) break;
  }
  run.EndProgress();
  const bool stopped = g_keep_going == 0;
  out << SummaryLine(run.tally(), stopped) << "\n";
  run.ReportFailures();
  if (run.store_failed()) run.ReportStoreFailure();
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  if (run.store_failed() || !all_found) return 2;
  const Tally& t = run.tally();
  return t.failed > 0 || t.partial > 0 || stopped ? 1 : 0;
}

}  // namespace trovix::cli
