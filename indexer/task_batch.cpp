#include "indexer/task_batch.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>

#include "indexer/bulk_indexer.h"
#include "indexer/file_processing.h"
#include "platform/com.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {
namespace {

bool IsRemoval(DWORD kind) { return kind == kRemoved || kind == kRenamedOldName; }
bool IsStore(DWORD kind) { return kind == kAdded || kind == kModified || kind == kRenamedNewName; }

// What one path's tasks come to.
enum class Action {
  kApplyAlone,  // a folder or a kind that changes nothing: ApplyTask
  kSkip,        // nothing to do (kSkipped)
  kDone,        // settled without writing (kDone)
  kStore,       // catalogued and indexed through the pipeline
  kRemove,      // removed through the pipeline
};

// The action for `task` whose path is `path` on disk, which `st` describes
// (null when nothing is there). Follows ApplyTask's rules.
Action Decide(const IndexTask& task, const std::string& path, const struct stat* st,
              const IndexStoreFiles& own, IndexerState& state) {
  if (!IsRemoval(task.kind) && !IsStore(task.kind)) return Action::kApplyAlone;
  if (task.path.ends_with(u'/')) return Action::kApplyAlone;
  if (own.Contains(path)) return Action::kSkip;
  const bool regular = st != nullptr && S_ISREG(st->st_mode);
  // A removed name that is not a regular file now (gone, a folder, a link)
  // loses its entry; a regular file under it again is stored as below.
  if (IsRemoval(task.kind) && !regular) return Action::kRemove;
  if (!regular) return Action::kSkip;
  if (!state.extensions.Contains(ExtensionOf(task.path))) {
    return IsRemoval(task.kind) ? Action::kRemove : Action::kSkip;
  }
  if (!FitsCatalogue(path)) {
    static_cast<void>(state.notices.Note(path, FileOutcome::kTooLong, S_OK));
    // The removal still happens: the entry of the old file is stale.
    return IsRemoval(task.kind) ? Action::kRemove : Action::kDone;
  }
  return Action::kStore;
}

// One path handed to the pipeline, and the tasks waiting for its result.
struct Queued {
  Action action = Action::kStore;
  bool folder_now = false;  // a folder stands under the removed name
  std::vector<std::size_t> tasks;
  bool reported = false;
  BulkResult result{};
};

// The outcome of a path's tasks from its result. `running` tells a stop from
// a store failure when no result came.
ApplyOutcome Settle(const Queued& queued, const std::string& path, IndexerState& state,
                    HRESULT failure) {
  if (!queued.reported) {
    if (FAILED(failure)) {
      static_cast<void>(state.health.ReportFailure(failure));
      return ApplyOutcome::kRetry;
    }
    return ApplyOutcome::kInterrupted;  // stopped before it was written
  }
  const BulkResult& result = queued.result;
  if (result.outcome == FileOutcome::kStoreUnavailable) {
    static_cast<void>(state.health.ReportFailure(FAILED(result.status) ? result.status : failure));
    return ApplyOutcome::kRetry;
  }
  if (queued.action == Action::kRemove) {
    return queued.folder_now && result.status == S_FALSE ? ApplyOutcome::kSkipped
                                                         : ApplyOutcome::kDone;
  }
  if (FAILED(result.status) && result.status != E_NOINTERFACE) {
    static_cast<void>(state.notices.Note(path, result.outcome, result.status));
  }
  return ApplyOutcome::kDone;
}

}  // namespace

std::vector<ApplyOutcome> ApplyTaskBatch(const std::vector<IndexTask>& tasks, IndexerState& state) {
  std::vector<ApplyOutcome> outcomes(tasks.size(), ApplyOutcome::kSkipped);
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    outcomes.assign(tasks.size(), ApplyOutcome::kNoIndexStore);
    return outcomes;
  }
  static_cast<void>(store->Init());  // the process opened the database: E_UNEXPECTED
  const IndexStoreFiles own = IndexStoreFiles::Query(store.get());
  if (!own.known()) {  // only while the database is not open
    static_cast<void>(state.health.ReportFailure(E_UNEXPECTED));
    outcomes.assign(tasks.size(), ApplyOutcome::kRetry);
    return outcomes;
  }
  std::map<std::string, Queued> queued;  // by path
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    const std::string path = Utf16ToUtf8(tasks[i].path);
    const auto found = queued.find(path);
    if (found != queued.end() && (IsRemoval(tasks[i].kind) || IsStore(tasks[i].kind))) {
      // The one look at the disk already decided for this path.
      found->second.tasks.push_back(i);
      continue;
    }
    struct stat st {};
    const bool exists = lstat(path.c_str(), &st) == 0;
    const Action action = Decide(tasks[i], path, exists ? &st : nullptr, own, state);
    if (action == Action::kApplyAlone) outcomes[i] = ApplyTask(tasks[i], state);
    if (action == Action::kDone) outcomes[i] = ApplyOutcome::kDone;
    if (action != Action::kStore && action != Action::kRemove) continue;
    Queued& entry = queued[path];
    entry.action = action;
    entry.folder_now = exists && S_ISDIR(st.st_mode);
    entry.tasks.push_back(i);
  }
  if (queued.empty()) return outcomes;

  std::mutex results_mutex;
  BulkOptions options;
  options.keep_going = &state.running;
  BulkIndexer bulk(options, [&](const BulkResult& result) {
    const std::lock_guard lock(results_mutex);
    Queued& entry = queued.at(result.path);
    entry.reported = true;
    entry.result = result;
  });
  for (const auto& [path, entry] : queued) {
    const bool taken = entry.action == Action::kStore ? bulk.Add(path) : bulk.Remove(path);
    if (!taken) break;  // a stop or a store failure: the rest waits for another attempt
  }
  const HRESULT failure = bulk.Finish();
  for (const auto& [path, entry] : queued) {
    const ApplyOutcome outcome = Settle(entry, path, state, failure);
    for (const std::size_t i : entry.tasks) outcomes[i] = outcome;
  }
  return outcomes;
}

}  // namespace trovix::indexer
