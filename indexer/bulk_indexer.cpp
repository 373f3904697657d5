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
// How often a batch waiting for its next file asks whether anyone waits for
// the write mutex: the most a reader waits beyond a file's write and the
// commit.
constexpr std::chrono::milliseconds kContentionPoll{10};
// How long the writer waits for a first file before it looks again.
constexpr std::chrono::milliseconds kIdleWait{1000};
// See YieldToWaiters.
constexpr std::chrono::milliseconds kYieldQuiet{30};
constexpr std::chrono::milliseconds kYieldMost{500};
constexpr std::chrono::milliseconds kYieldPoll{2};

unsigned PreparerCount(unsigned asked) {
  if (asked != 0) return asked;
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

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

BulkIndexer::BulkIndexer(BulkOptions options, BulkDone done)
    : options_(options), done_(std::move(done)) {
  const unsigned count = PreparerCount(options_.preparers);
  prepared_limit_ = std::size_t{count};
  preparers_left_ = count;
  for (unsigned i = 0; i < count; ++i) preparers_.emplace_back([this] { PreparerMain(); });
  writer_ = std::thread([this] { WriterMain(); });
}

BulkIndexer::~BulkIndexer() { static_cast<void>(Finish()); }

bool BulkIndexer::Running() const {
  return failure_.load() == S_OK && (options_.keep_going == nullptr || *options_.keep_going != 0);
}

bool BulkIndexer::Add(std::string path) { return Queue({std::move(path), /*removal=*/false}); }

bool BulkIndexer::Remove(std::string path) { return Queue({std::move(path), /*removal=*/true}); }

bool BulkIndexer::Queue(Queued queued) {
  std::unique_lock lock(mutex_);
  while (paths_.size() >= kQueuedPaths && Running()) paths_changed_.wait_for(lock, kFlagPoll);
  if (!Running()) return false;
  paths_.push_back(std::move(queued));
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
    item.path = std::move(paths_.front().path);
    item.removal = paths_.front().removal;
    paths_.pop_front();
    paths_changed_.notify_all();
    lock.unlock();
    if (!store) {
      item.status = made;
    } else if (failure_.load() != S_OK) {
      item.status = failure_.load();
    } else if (!item.removal) {
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
  for (;;) {
    Prepared first;
    const Next got = TakeNext(&first, std::chrono::steady_clock::now() + kIdleWait);
    if (got == Next::kEnd) break;
    if (got == Next::kNotYet) continue;
    if (store) YieldToWaiters(store.get());
    std::vector<Prepared> batch;
    batch.push_back(std::move(first));
    WriteWithRetries(store.get(), batch);
  }
}

// Lets whoever waits for the write mutex have it before the next batch
// begins: flock is not fair, so the writer would otherwise often take it
// again at once, and a reader that takes it a few times in a row (open,
// search, close) would cut one batch short for each. Returns once nobody has
// waited for kYieldQuiet, or after kYieldMost, so that a stream of readers
// cannot stop the writing.
void BulkIndexer::YieldToWaiters(ITrovixBatch* store) {
  if (store->Contended() != S_OK) return;
  const auto start = std::chrono::steady_clock::now();
  auto quiet_since = start;
  for (auto now = start; now - quiet_since < kYieldQuiet && now - start < kYieldMost;
       now = std::chrono::steady_clock::now()) {
    if (store->Contended() == S_OK) quiet_since = now;
    std::this_thread::sleep_for(kYieldPoll);
  }
}

// The next prepared file, waiting until `until` at most. kEnd when none
// will come (the preparers have ended and the queue is empty).
BulkIndexer::Next BulkIndexer::TakeNext(Prepared* item,
                                        std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return !prepared_.empty() || preparers_left_ == 0; };
  if (!prepared_changed_.wait_until(lock, until, ready)) return Next::kNotYet;
  if (prepared_.empty()) return Next::kEnd;
  *item = std::move(prepared_.front());
  prepared_.pop_front();
  paths_changed_.notify_all();  // room for the preparers
  return Next::kFile;
}

// Writes the batch begun with `batch`'s first file, trying again after a
// store failure; then reports every file of it. Once the pipeline has failed,
// files are only reported.
void BulkIndexer::WriteWithRetries(ITrovixBatch* store, std::vector<Prepared>& batch) {
  HRESULT failure = failure_.load();
  if (failure == S_OK) {
    for (std::size_t attempt = 0;; ++attempt) {
      failure = WriteBatch(store, batch, /*grow=*/attempt == 0);
      if (SUCCEEDED(failure) || !IsStoreFailure(failure) ||
          attempt == std::size(kStoreRetryDelays)) {
        break;
      }
      std::this_thread::sleep_for(kStoreRetryDelays[attempt]);
    }
    if (FAILED(failure)) {
      HRESULT expected = S_OK;
      failure_.compare_exchange_strong(expected, failure);
    } else {
      failure = S_OK;
    }
  }
  Report(store, batch, failure);
}

// One transaction: the files of `batch` (the first file, or on a retry
// those of the failed attempt), then, when `grow`, each file that arrives
// while the batch may stay open. The waits for a file are cut into slices,
// so that someone waiting for the write mutex is seen within a slice.
HRESULT BulkIndexer::WriteBatch(ITrovixBatch* store, std::vector<Prepared>& batch, bool grow) {
  HRESULT hr = store->BeginBatch();
  if (FAILED(hr)) return hr;
  const auto close_at = std::chrono::steady_clock::now() + options_.batch_age;
  for (Prepared& item : batch) {
    hr = WriteOne(store, item);
    if (FAILED(hr)) return hr;
  }
  while (grow && batch.size() < options_.batch_files && Running() &&
         store->Contended() == S_FALSE) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= close_at) break;
    Prepared next;
    const Next got = TakeNext(&next, std::min(close_at, now + kContentionPoll));
    if (got == Next::kEnd) break;
    if (got == Next::kNotYet) continue;
    batch.push_back(std::move(next));
    hr = WriteOne(store, batch.back());
    if (FAILED(hr)) return hr;
  }
  return store->CommitBatch();
}

// Writes one file (or removal) into the open batch and releases the file's
// prepared text. A file released by an earlier attempt is prepared again
// first. Answers S_OK, or the store failure that doomed the batch (after
// aborting it).
HRESULT BulkIndexer::WriteOne(ITrovixBatch* store, Prepared& item) {
  const WString path = Utf8ToUtf16(item.path);
  if (item.removal) {
    item.answer = FAILED(item.status) ? item.status : store->RemoveFile(path.c_str());
  } else {
    if (item.file == nullptr && item.status == S_OK) {
      // To its end whatever the continue flag says: the file was accepted.
      item.status = store->PrepareFile(path.c_str(), nullptr, &item.file);
    }
    item.answer = item.file == nullptr ? item.status : store->WritePrepared(item.file);
    store->ReleasePrepared(item.file);
    item.file = nullptr;
  }
  if (FAILED(item.answer) && IsStoreFailure(item.answer)) {
    static_cast<void>(store->AbortBatch());
    return item.answer;
  }
  return S_OK;
}

void BulkIndexer::Report(ITrovixBatch* store, std::vector<Prepared>& batch, HRESULT failure) {
  for (Prepared& item : batch) {
    if (store != nullptr) store->ReleasePrepared(item.file);
    item.file = nullptr;
    if (!done_) continue;
    BulkResult result{item.path, FileOutcome::kStoreUnavailable, failure, item.removal};
    if (failure == S_OK && item.removal) {
      result.outcome = FAILED(item.answer) ? FileOutcome::kFailed : FileOutcome::kUnchanged;
      result.status = item.answer;
    } else if (failure == S_OK) {
      result.outcome = OutcomeOfIndexing(item.path, item.answer, &result.status);
    }
    done_(result);
  }
}

}  // namespace trovix::indexer
