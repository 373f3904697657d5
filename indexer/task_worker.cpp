#include "indexer/task_worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>
#include <utility>

#include "indexer/catalogue_prune.h"
#include "indexer/file_processing.h"
#include "indexer/task_batch.h"
#include "platform/com.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {
namespace {

constexpr DWORD kQueueWaitMs = 4000;
constexpr DWORD kApplierWaitMs = 1000;
constexpr std::size_t kNormalAbove = 5000;
constexpr std::size_t kAboveNormalAbove = 500000;

// What a task's path names now. Links are not followed: the folder walk
// does not store what a link points at, and neither does the applier.
enum class PathKind { kMissing, kDirectory, kRegularFile, kOther };

PathKind ClassifyPath(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kRegularFile;
  return PathKind::kOther;
}

bool IsRemoval(DWORD kind) { return kind == kRemoved || kind == kRenamedOldName; }
bool IsStore(DWORD kind) { return kind == kAdded || kind == kModified || kind == kRenamedNewName; }
// A task that indexes a file: the kind of task the coalescer times.
bool IsFileStore(const IndexTask& task) { return IsStore(task.kind) && !task.path.ends_with(u'/'); }

// A store failure is told to the store health and makes the task wait for
// another attempt; any other failure is the file's own and ends the task.
ApplyOutcome Settle(HRESULT hr, IndexerState& state) {
  if (FAILED(hr) && IsStoreFailure(hr)) {
    static_cast<void>(state.health.ReportFailure(hr));
    return ApplyOutcome::kRetry;
  }
  return ApplyOutcome::kDone;
}

// Unlike the scan, a catalogued file is always updated: a change was
// reported, and it may leave size and time as they were. The words are
// written only into a catalogued file, so a refused AddFile or UpdateFile
// ends the task.
ApplyOutcome StoreFile(ITrovixDB* store, const std::string& os_path, const WCHAR* path,
                       IndexerState& state) {
  const HRESULT catalogued = store->FileInDB(path);
  if (FAILED(catalogued)) return Settle(catalogued, state);
  const HRESULT stored = catalogued == S_OK ? store->UpdateFile(path) : store->AddFile(path);
  if (FAILED(stored)) return Settle(stored, state);
  const HRESULT indexed = store->FileIndexed(path);
  if (indexed == S_OK) {
    if (const HRESULT hr = store->UnIndexFile(path, 0); FAILED(hr)) return Settle(hr, state);
  } else if (indexed != S_FALSE) {
    return Settle(indexed, state);
  }
  const HRESULT hr = store->IndexFile(path, state.continue_flag(), nullptr);
  // S_FALSE also means "too large" or "partly read"; only a stop asks for
  // another attempt.
  if (hr == S_FALSE && state.running.load() == 0) return ApplyOutcome::kInterrupted;
  if (FAILED(hr) && IsStoreFailure(hr)) return Settle(hr, state);
  if (FAILED(hr) && hr != E_NOINTERFACE) {
    static_cast<void>(state.notices.Note(os_path, FileOutcome::kFailed, hr));
  }
  return ApplyOutcome::kDone;
}

// A folder that left the tree (removed, or moved or renamed away) takes its
// catalogued files with it; files still there under that path (a folder of
// the same name made again) keep their entries.
ApplyOutcome RemoveFolder(ITrovixDB* store, const std::string& folder, IndexerState& state,
                          const IndexStoreFiles& own) {
  struct stat st {};
  const std::string parent = folder.substr(0, folder.find_last_of('/', folder.size() - 2) + 1);
  if (stat(parent.c_str(), &st) != 0) st.st_dev = 0;
  const dev_t device = st.st_dev;
  const auto wanted = [&](const std::string& path) {
    return IsWantedOnDisk(path, state.extensions, own, device);
  };
  PruneStats stats;
  const HRESULT hr = PruneFolder(store, folder, wanted, state.running, &stats);
  if (hr == E_ABORT) return ApplyOutcome::kInterrupted;
  return Settle(hr, state);
}

}  // namespace

ApplierPriority NextApplierPriority(ApplierPriority current, std::size_t backlog) {
  switch (current) {
    case ApplierPriority::kIdle:
      return backlog > kNormalAbove ? ApplierPriority::kNormal : current;
    case ApplierPriority::kNormal:
      if (backlog > kAboveNormalAbove) return ApplierPriority::kAboveNormal;
      return backlog < kNormalAbove ? ApplierPriority::kIdle : current;
    case ApplierPriority::kAboveNormal:
      return backlog < kAboveNormalAbove ? ApplierPriority::kNormal : current;
  }
  return current;
}

void MergeTasks(TaskSet* from, TaskSet* into, DWORD now) {
  into->merge(*from);  // leaves in *from exactly the tasks *into already holds
  for (const IndexTask& duplicate : *from) {
    auto kept = into->extract(duplicate);
    kept.value().time_stamp = now;
    into->insert(std::move(kept));
  }
  from->clear();
}

DWORD TaskTimeNow() {
  const std::time_t now = std::time(nullptr);
  if (now <= 0) return 0;
  constexpr auto kLast = std::numeric_limits<DWORD>::max();
  return static_cast<std::uint64_t>(now) > kLast ? kLast : static_cast<DWORD>(now);
}

ApplyOutcome ApplyTask(const IndexTask& task, IndexerState& state) {
  if (!IsRemoval(task.kind) && !IsStore(task.kind)) return ApplyOutcome::kSkipped;
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    return ApplyOutcome::kNoIndexStore;
  }
  static_cast<void>(store->Init());  // the process opened the database: E_UNEXPECTED
  const std::string os_path = Utf16ToUtf8(task.path);
  const IndexStoreFiles own = IndexStoreFiles::Query(store.get());
  if (!own.known()) return Settle(E_UNEXPECTED, state);  // only while the database is not open
  if (task.path.ends_with(u'/')) {
    return IsRemoval(task.kind) ? RemoveFolder(store.get(), os_path, state, own)
                                : ApplyOutcome::kSkipped;
  }
  if (own.Contains(os_path)) return ApplyOutcome::kSkipped;
  const PathKind now = ClassifyPath(os_path);
  const WCHAR* path = task.path.c_str();
  if (IsRemoval(task.kind)) {
    const HRESULT removed = RemoveCataloguedFile(store.get(), path);
    if (FAILED(removed)) return Settle(removed, state);
    // A folder now stands under that name: the file entry of that name is
    // gone with the file; the folder's own files come through their records.
    if (now == PathKind::kDirectory) {
      return removed == S_OK ? ApplyOutcome::kDone : ApplyOutcome::kSkipped;
    }
    // A file saved through a temporary name exists again under this one.
    if (now != PathKind::kRegularFile) return ApplyOutcome::kDone;
  } else if (now != PathKind::kRegularFile) {
    return ApplyOutcome::kSkipped;
  }
  if (!state.extensions.Contains(ExtensionOf(task.path))) {
    return IsRemoval(task.kind) ? ApplyOutcome::kDone : ApplyOutcome::kSkipped;
  }
  if (!FitsCatalogue(os_path)) {
    static_cast<void>(state.notices.Note(os_path, FileOutcome::kTooLong, S_OK));
    return ApplyOutcome::kDone;
  }
  // StoreFile's methods take MAX_PATH units; a longer path is stored
  // through the batch, as a group's files are.
  if (task.path.size() > MAX_PATH) return ApplyTaskBatch({task}, state).front();
  return StoreFile(store.get(), os_path, path, state);
}

TaskWorker::TaskWorker(IndexerState& state, TaskWorkerOptions options)
    : state_(state), options_(std::move(options)), coalescer_(options_.coalescing) {}

TaskWorker::~TaskWorker() {
  if (queue_.joinable()) queue_.join();
}

void TaskWorker::Start() {
  queue_ = std::thread([this] { QueueMain(); });
}

bool TaskWorker::WaitForEnd(DWORD timeout_ms) {
  if (ended_.Wait(timeout_ms) != WAIT_OBJECT_0) return false;
  if (queue_.joinable()) queue_.join();
  return true;
}

void TaskWorker::QueueMain() {
  LoadBacklog();
  StartApplier();
  while (state_.running.load() != 0) {
    if (state_.list_event.Wait(kQueueWaitMs) == WAIT_OBJECT_0) {
      TransferBatch();
    } else {
      // Also on a quiet wake-up, so that a backlog loaded at start, or one
      // that drained, moves the applier's level without waiting for a change.
      SetApplierPriority(NextApplierPriority(level_, work_size_.load()));
    }
  }
  StopApplier();
  SaveBacklog();
  ended_.Set();
}

// Runs before the applier exists, so the lock is never contended; it is
// taken all the same because work_ is guarded by it.
void TaskWorker::LoadBacklog() {
  if (options_.task_file.empty()) return;
  static_cast<void>(work_mutex_.Wait(INFINITE));
  const int loaded = LoadTasks(options_.task_file, &work_, options_.log);
  file_holds_backlog_ = !work_.empty();
  // An empty file, or one of damaged records only, holds nothing to keep.
  if (work_.empty() && loaded == 0) static_cast<void>(RemoveTaskFile(options_.task_file));
  work_size_ = work_.size();
  const bool waiting = !work_.empty();
  work_mutex_.Release();
  if (waiting) work_event_.Set();  // else the loaded tasks would wait for the first change
}

void TaskWorker::StartApplier() {
  applier_ = std::thread([this] { ApplierMain(); });
  static_cast<void>(applier_ready_.Wait(INFINITE));  // the applier's first step sets it
  level_ = options_.set_priority ? options_.set_priority(applier_tid_, ApplierPriority::kIdle)
                                 : ApplierPriority::kIdle;
}

// Not after the applier has ended: its thread id may name another thread by
// then.
void TaskWorker::SetApplierPriority(ApplierPriority level) {
  if (level == level_ || applier_tid_.load() == 0) return;
  level_ = options_.set_priority ? options_.set_priority(applier_tid_, level) : level;
}

// One batch: both locks with bounded waits; a wake-up that cannot be served
// now is signalled again so that it is not lost.
void TaskWorker::TransferBatch() {
  if (state_.list_mutex.Wait(kQueueWaitMs) != WAIT_OBJECT_0) {
    state_.list_event.Set();
    return;
  }
  if (work_mutex_.Wait(kQueueWaitMs) != WAIT_OBJECT_0) {
    state_.list_mutex.Release();
    state_.list_event.Set();
    return;
  }
  RouteTasks(TaskTimeNow());
  const std::size_t backlog = work_.size();
  work_size_ = backlog;
  work_mutex_.Release();
  state_.list_mutex.Release();
  SetApplierPriority(NextApplierPriority(level_, backlog));
  work_event_.Set();
}

// Under both locks: empties the pending set into the work and held sets.
// A path's tasks go together (invariant 5): a removal or rename away of the
// path, or a folder, sends them to the work set; store tasks wait in the
// held set while the coalescer does not find their file due.
void TaskWorker::RouteTasks(DWORD stamp) {
  const ChangeCoalescer::Time now = ChangeCoalescer::Clock::now();
  TaskSet to_work;
  TaskSet to_hold;
  auto next = state_.pending.begin();
  while (next != state_.pending.end()) {
    const WString path = next->path;
    auto end = next;
    bool removal = false;
    bool store = false;
    bool writing = true;  // every store task saw the file still being written
    for (; end != state_.pending.end() && end->path == path; ++end) {
      removal = removal || IsRemoval(end->kind);
      if (IsStore(end->kind)) {
        store = true;
        writing = writing && end->writing;
      }
    }
    const bool file = !path.ends_with(u'/');
    if (removal) {
      coalescer_.Forget(path);
    } else if (store && file) {
      coalescer_.NoteChange(path, now, writing);
    }
    const bool hold = file && store && !removal && !WorkHolds(path) && !coalescer_.Due(path, now);
    TaskSet& into = hold ? to_hold : to_work;
    while (next != end) {
      const auto at = next++;
      into.insert(state_.pending.extract(at));
    }
  }
  MergeTasks(&to_work, &work_, stamp);
  MergeTasks(&to_hold, &held_, stamp);
  ReleaseDue(now);
}

// Whether the work set holds a task of `path`: it reads the file when it is
// applied, which is after this change, so a newer task may join it.
bool TaskWorker::WorkHolds(const WString& path) const {
  const auto at = work_.lower_bound(IndexTask{path, 0});
  return at != work_.end() && at->path == path;
}

// Under work_mutex_: moves the held tasks that are due into the work set
// and notes when the next one will be.
void TaskWorker::ReleaseDue(ChangeCoalescer::Time now) {
  TaskSet due;
  ChangeCoalescer::Time next = ChangeCoalescer::Time::max();
  for (auto at = held_.begin(); at != held_.end();) {
    const ChangeCoalescer::Time when = coalescer_.DueAt(at->path);
    if (when <= now) {
      due.insert(held_.extract(at++));
    } else {
      next = std::min(next, when);
      ++at;
    }
  }
  if (!due.empty()) MergeTasks(&due, &work_, TaskTimeNow());
  held_size_ = held_.size();
  work_size_ = work_.size();
  next_release_ = next.time_since_epoch().count();
}

// Raised so that its last task ends quickly; no time limit: IndexFile stops
// on RunningFlag, so only the current step of one task remains.
void TaskWorker::StopApplier() {
  SetApplierPriority(ApplierPriority::kAboveNormal);
  work_event_.Set();
  if (applier_.joinable()) applier_.join();
}

// The monitors have stopped before RunningFlag was cleared: the batch they
// queued last is saved with the rest instead of being lost with the pending
// set.
void TaskWorker::SaveBacklog() {
  const bool listed = state_.list_mutex.Wait(kQueueWaitMs) == WAIT_OBJECT_0;
  static_cast<void>(work_mutex_.Wait(INFINITE));  // the applier has ended: uncontended
  if (listed) MergeTasks(&state_.pending, &work_, TaskTimeNow());
  MergeTasks(&held_, &work_, TaskTimeNow());
  held_size_ = 0;
  if (!options_.task_file.empty() && (file_holds_backlog_ || !work_.empty())) {
    backlog_saved_ = SaveTasks(options_.task_file, work_, options_.log) >= 0;
  }
  work_.clear();
  work_size_ = 0;
  work_mutex_.Release();
  if (listed) state_.list_mutex.Release();
}

void TaskWorker::ApplierMain() {
  const ComInit com;  // this thread's own; index store objects are made per task
  applier_tid_ = gettid();
  applier_ready_.Set();
  while (state_.running.load() != 0) {
    // A time-out with tasks waiting and no pause means a resume, or a held
    // task that became due: either is applied without waiting for a change.
    const bool woken = work_event_.Wait(ApplierWaitMs()) == WAIT_OBJECT_0;
    const bool waiting = work_size_.load() != 0 || HeldTaskDue();
    if (!woken && (!waiting || state_.paused.load())) continue;
    if (!ApplyWaitingTasks()) break;
  }
  applier_tid_ = 0;
}

// Until the first held task is due, within the bound of invariant 2; the
// whole bound while paused, when nothing is taken anyway.
DWORD TaskWorker::ApplierWaitMs() const {
  const auto next = next_release_.load();
  if (state_.paused.load() || next == ChangeCoalescer::Duration::max().count()) {
    return kApplierWaitMs;
  }
  const auto left =
      ChangeCoalescer::Time(ChangeCoalescer::Duration(next)) - ChangeCoalescer::Clock::now();
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(std::clamp<decltype(ms)>(ms, 0, kApplierWaitMs));
}

bool TaskWorker::HeldTaskDue() const {
  return held_size_.load() != 0 &&
         ChangeCoalescer::Clock::now().time_since_epoch().count() >= next_release_.load();
}

// Applies tasks until the work set is empty, RunningFlag is 0 or indexing
// is paused. False when the index store cannot be reached: the applier then
// stops for good.
bool TaskWorker::ApplyWaitingTasks() {
  std::vector<IndexTask> group;
  while (state_.running.load() != 0 && !state_.paused.load()) {
    if (!state_.health.available() && !WaitForStore()) return true;
    if (!TakeTasks(&group)) return true;
    const auto start = ChangeCoalescer::Clock::now();
    const std::vector<ApplyOutcome> outcomes = Apply(group);
    NoteCosts(group, outcomes, ChangeCoalescer::Clock::now() - start);
    bool no_store = false;
    for (std::size_t i = 0; i < group.size(); ++i) {
      const ApplyOutcome outcome = outcomes[i];
      if (outcome == ApplyOutcome::kInterrupted || outcome == ApplyOutcome::kNoIndexStore ||
          outcome == ApplyOutcome::kRetry) {
        Requeue(std::move(group[i]));
      }
      no_store = no_store || outcome == ApplyOutcome::kNoIndexStore;
    }
    if (no_store) {
      if (options_.on_no_index_store) options_.on_no_index_store();
      return false;
    }
  }
  return true;
}

// An injected applier takes its tasks one by one, RunningFlag read before
// each, as the applier did before groups.
std::vector<ApplyOutcome> TaskWorker::Apply(const std::vector<IndexTask>& group) {
  if (!options_.apply) return ApplyTaskBatch(group, state_);
  std::vector<ApplyOutcome> outcomes(group.size(), ApplyOutcome::kInterrupted);
  for (std::size_t i = 0; i < group.size() && state_.running.load() != 0; ++i) {
    outcomes[i] = options_.apply(group[i]);
  }
  return outcomes;
}

// The database failed: tasks stay in the work set (and go to the backlog
// file at a stop) until the store works again. Waits in slices so that a
// stop is seen. False when the applier should stop.
bool TaskWorker::WaitForStore() {
  while (state_.running.load() != 0) {
    if (state_.health.WaitUntilAvailable(std::chrono::milliseconds(kApplierWaitMs))) return true;
  }
  return false;
}

// Moves the held tasks that are due into the work set, then takes its first
// tasks into `*group` (replacing what it held): kGroupTasks, or one for an
// injected applier; the coalescer notes each file's indexing. False when the
// work set is empty; every task taken before has then been applied or put back, so a
// backlog file loaded at start is no longer needed (invariant 3).
bool TaskWorker::TakeTasks(std::vector<IndexTask>* group) {
  group->clear();
  while (work_mutex_.Wait(kApplierWaitMs) != WAIT_OBJECT_0) {
    if (state_.running.load() == 0) return false;
  }
  const ChangeCoalescer::Time now = ChangeCoalescer::Clock::now();
  ReleaseDue(now);
  const bool any = !work_.empty();
  const std::size_t most = options_.apply ? 1 : kGroupTasks;
  if (any) {
    while (!work_.empty() && group->size() < most) {
      IndexTask task = std::move(work_.extract(work_.begin()).value());
      if (IsFileStore(task)) coalescer_.NoteIndexing(task.path, now);
      group->push_back(std::move(task));
    }
    work_size_ = work_.size();
  } else if (file_holds_backlog_) {
    // The save at the end runs only after this thread has ended, so the
    // file removed here can only be the one loaded at start.
    file_holds_backlog_ = RemoveTaskFile(options_.task_file) != 0;
  }
  work_mutex_.Release();
  return any;
}

// The group's time is shared among its files: a file indexed alone (as a
// busy one mostly is) gets its own cost, one of many an estimate.
void TaskWorker::NoteCosts(const std::vector<IndexTask>& group,
                           const std::vector<ApplyOutcome>& outcomes,
                           ChangeCoalescer::Duration elapsed) {
  std::size_t files = 0;
  for (const IndexTask& task : group) files += IsFileStore(task) ? 1 : 0;
  applied_ +=
      static_cast<std::uint64_t>(std::count(outcomes.begin(), outcomes.end(), ApplyOutcome::kDone));
  if (files == 0) return;
  const ChangeCoalescer::Duration share = elapsed / static_cast<long>(files);
  static_cast<void>(work_mutex_.Wait(INFINITE));
  for (const IndexTask& task : group) {
    if (IsFileStore(task)) coalescer_.NoteCost(task.path, share);
  }
  work_mutex_.Release();
}

// An equal task queued meanwhile stays as it is (it is the newer one).
void TaskWorker::Requeue(IndexTask task) {
  static_cast<void>(work_mutex_.Wait(INFINITE));
  work_.insert(std::move(task));
  work_size_ = work_.size();
  work_mutex_.Release();
}

}  // namespace trovix::indexer
