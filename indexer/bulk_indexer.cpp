#include "indexer/bulk_indexer.h"

#include <algorithm>

#include "platform/com.h"
#include "platform/thread_priority.h"
#include "platform/wstring.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {
namespace {

// The waits before each new attempt at a batch the database failed: a busy
// database (another process writing) usually answers within them.
constexpr std::chrono::milliseconds kStoreRetryDelays[] = {std::chrono::milliseconds(200),
                                                           std::chrono::milliseconds(500),
                                                           std::chrono::milliseconds(1000)};
// How often a wait for room looks at the continue flag (nobody signals it).
constexpr std::chrono::milliseconds kFlagPoll{100};

// The calling thread's index store object with its batch interface; null
// (and `*hr` set) when none can be made.
ComPtr<ITrovixBatch> OpenBatchStore(HRESULT* hr) {
  ComPtr<ITrovixDB> store;
  ComPtr<ITrovixBatch> batch;
  *hr = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                         store.put_void());
  if (FAILED(*hr)) return batch;
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  *hr = store->QueryInterface(IID_ITrovixBatch, batch.put_void());
  return batch;
}

unsigned PreparerCount(unsigned asked) {
  if (asked != 0) return asked;
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

BulkIndexer::BulkIndexer(BulkOptions options, BulkDone done)
    : options_(options), done_(std::move(done)) {
  const unsigned count = PreparerCount(options_.preparers);
  prepared_limit_ = 2 * std::size_t{count};
  preparers_left_ = count;
  for (unsigned i = 0; i < count; ++i) preparers_.emplace_back([this] { PreparerMain(); });
  writer_ = std::thread([this] { WriterMain(); });
}

BulkIndexer::~BulkIndexer() { static_cast<void>(Finish()); }

bool BulkIndexer::Running() const {
  return failure_.load() == S_OK && (options_.keep_going == nullptr || *options_.keep_going != 0);
}

bool BulkIndexer::Add(std::string path) {
  std::unique_lock lock(mutex_);
  while (paths_.size() >= kQueuedPaths && Running()) paths_changed_.wait_for(lock, kFlagPoll);
  if (!Running()) return false;
  paths_.push_back(std::move(path));
  paths_changed_.notify_all();
  return true;
}

HRESULT BulkIndexer::Finish() {
  if (finished_) return failure_.load();
  {
    const std::lock_guard lock(mutex_);
    input_ended_ = true;
  }
  paths_changed_.notify_all();
  for (std::thread& preparer : preparers_) preparer.join();
  writer_.join();
  finished_ = true;
  return failure_.load();
}

// A file is prepared even after a store failure, only to be reported: the
// caller learns of every file it queued. After a stop it is passed over.
void BulkIndexer::PreparerMain() {
  if (options_.idle_priority) static_cast<void>(EnterIdleCpuScheduling());
  const ComInit com;
  HRESULT made = S_OK;
  const ComPtr<ITrovixBatch> store = OpenBatchStore(&made);
  // The continue flag is read as the UINT PrepareFile expects; the atomic
  // has its layout.
  auto* keep_going =
      reinterpret_cast<UINT*>(const_cast<std::atomic<unsigned>*>(options_.keep_going));
  std::unique_lock lock(mutex_);
  for (;;) {
    paths_changed_.wait(lock, [this] { return !paths_.empty() || input_ended_; });
    if (paths_.empty()) break;
    Prepared item;
    item.path = std::move(paths_.front());
    paths_.pop_front();
    paths_changed_.notify_all();
    lock.unlock();
    if (!store) {
      item.status = made;
    } else if (failure_.load() != S_OK) {
      item.status = failure_.load();
    } else {
      item.status = store->PrepareFile(Utf8ToUtf16(item.path).c_str(), keep_going, &item.file);
    }
    lock.lock();
    if (item.status == E_ABORT) continue;
    while (prepared_.size() >= prepared_limit_) paths_changed_.wait(lock);
    prepared_.push_back(std::move(item));
    prepared_changed_.notify_all();
  }
  --preparers_left_;
  prepared_changed_.notify_all();
}

void BulkIndexer::WriterMain() {
  if (options_.idle_priority) static_cast<void>(EnterIdleCpuScheduling());
  const ComInit com;
  HRESULT made = S_OK;
  const ComPtr<ITrovixBatch> store = OpenBatchStore(&made);
  if (!store) {
    HRESULT expected = S_OK;
    failure_.compare_exchange_strong(expected, FAILED(made) ? made : E_UNEXPECTED);
  }
  std::vector<Prepared> group;
  while (TakeGroup(&group)) {
    WriteGroup(store.get(), group);
    group.clear();
  }
}

// Collects the next batch: waits for a first file, then for more until the
// batch is old or big enough or no more can come. False when none is left.
bool BulkIndexer::TakeGroup(std::vector<Prepared>* group) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return !prepared_.empty() || preparers_left_ == 0; };
  prepared_changed_.wait(lock, ready);
  if (prepared_.empty()) return false;
  const auto deadline = std::chrono::steady_clock::now() + options_.batch_age;
  for (;;) {
    while (!prepared_.empty() && group->size() < options_.batch_files) {
      group->push_back(std::move(prepared_.front()));
      prepared_.pop_front();
    }
    paths_changed_.notify_all();  // room for the preparers
    if (group->size() >= options_.batch_files || preparers_left_ == 0 || !Running()) return true;
    if (!prepared_changed_.wait_until(lock, deadline, ready)) return true;
  }
}

void BulkIndexer::WriteGroup(ITrovixBatch* store, std::vector<Prepared>& group) {
  std::vector<HRESULT> answers(group.size(), S_OK);
  std::size_t first = 0;
  while (first < group.size()) {
    HRESULT failure = failure_.load();
    std::size_t end = group.size();
    if (failure == S_OK) {
      for (std::size_t attempt = 0;; ++attempt) {
        failure = WriteBatch(store, group, first, &end, &answers);
        if (SUCCEEDED(failure) || !IsStoreFailure(failure) ||
            attempt == std::size(kStoreRetryDelays)) {
          break;
        }
        std::this_thread::sleep_for(kStoreRetryDelays[attempt]);
      }
      if (FAILED(failure)) {
        HRESULT expected = S_OK;
        failure_.compare_exchange_strong(expected, failure);
        end = group.size();
      } else {
        failure = S_OK;
      }
    }
    Report(store, group, first, end, answers, failure);
    first = end;
  }
}

// One transaction from group[first]; `*end` receives the index after its
// last file. The batch is cut short after max_hold, so the write mutex is
// given up at least that often.
HRESULT BulkIndexer::WriteBatch(ITrovixBatch* store, std::vector<Prepared>& group,
                                std::size_t first, std::size_t* end,
                                std::vector<HRESULT>* answers) {
  HRESULT hr = store->BeginBatch();
  if (FAILED(hr)) return hr;
  const auto give_up_at = std::chrono::steady_clock::now() + options_.max_hold;
  std::size_t i = first;
  while (i < group.size()) {
    Prepared& item = group[i];
    (*answers)[i] = item.file == nullptr ? item.status : store->WritePrepared(item.file);
    if (FAILED((*answers)[i]) && IsStoreFailure((*answers)[i])) {
      static_cast<void>(store->AbortBatch());
      return (*answers)[i];
    }
    ++i;
    if (std::chrono::steady_clock::now() >= give_up_at) break;
  }
  *end = i;
  return store->CommitBatch();
}

void BulkIndexer::Report(ITrovixBatch* store, std::vector<Prepared>& group, std::size_t first,
                         std::size_t end, const std::vector<HRESULT>& answers, HRESULT failure) {
  for (std::size_t i = first; i < end; ++i) {
    Prepared& item = group[i];
    if (store != nullptr) store->ReleasePrepared(item.file);
    item.file = nullptr;
    if (!done_) continue;
    BulkResult result{item.path, FileOutcome::kStoreUnavailable, failure};
    if (failure == S_OK) result.outcome = OutcomeOfIndexing(item.path, answers[i], &result.status);
    done_(result);
  }
}

}  // namespace trovix::indexer
