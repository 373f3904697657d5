// The indexing pipeline for bulk work (a walk of a tree, a backlog of
// tasks): the caller's thread queues paths, N preparer threads read and
// count each file's words in memory (the content filters and the tokenizer,
// which are most of the work, on every core), and one writer thread writes
// them to the index store many files per transaction.
//
//   caller --Add--> [paths, bounded] --> preparers (PrepareFile)
//                  --> [prepared, bounded] --> writer (batches) --> done()
//
// The writer begins a batch with the first file that arrives and writes
// each file into it as soon as it is prepared (its words then leave memory:
// the batch's pages wait in the engine's cache). The batch is committed
// `batch_age` after its first file, once it holds `batch_files` files, when
// the input ends, or as soon as anyone else waits for the write mutex
// (ITrovixBatch::Contended, asked after each file and while waiting for
// one). So a reader waits about one file's write and a commit, and a first
// index with nobody waiting commits seldom: every commit writes again each
// page of the word-to-file index it touched, which is what the bytes
// written grow with.
//
// Invariants:
//  1. done() is called for a file only after the batch holding it committed
//     (or, for a file refused before writing, after that was known), so a
//     file reported indexed has its words in the database. A crash loses at
//     most the files of the open batch; none of them was reported.
//  2. A database failure (see IsStoreFailure) that outlasts a few retries
//     of the batch stops the pipeline: that batch's files, and every file
//     queued after, are reported kStoreUnavailable with the failure; Add
//     answers false from then on. A retry prepares the batch's files again
//     from their paths (they were released when first written).
//  3. Memory is bounded: at most kQueuedPaths paths, N prepared files in
//     the queue, one prepared file in the writer, and a path and two
//     status codes for each file of the open batch.
//
// Memory budget of an indexing process (100 MiB in all, at any number of
// files; the user unit's MemoryHigh leaves headroom above it):
//   - the engine's page cache during a batch: at most 32 MiB
//     (Engine::kBatchCacheBytes), 2 MiB between batches;
//   - prepared files: 2 × N + 1 of them at once (N being prepared, N
//     queued, one being written), each at most about 8 MiB
//     (TermCollector's bounds: 4 MiB of entries, 4 MiB of positions), so
//     40 MiB on two processors and typically well under 1 MiB;
//   - the text a preparer's content filter holds: one chunk;
//   - code, the analysis's data and the allocator's arenas: about 20 MiB.
// Filter helper processes (the content filters run out of process) add
// their own resident set while a file of their kind is read.
//
// Threads: Add, Finish and the destructor on the owner's thread, which
// need not have initialised the component library. done() runs on the
// writer thread, one call at a time. The preparers and the writer initialise
// the component library themselves and run at SCHED_IDLE when asked.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "indexer/file_processing.h"
#include "platform/com.h"
#include "shared/itrovixbatch.h"

namespace trovix::indexer {

struct BulkOptions {
  // Preparer threads; 0 means one per processor.
  unsigned preparers = 0;
  // How long a batch stays open after its first file at most. A search
  // waits for the write mutex and so ends the batch: what a walk wrote is
  // found at once all the same. What the age bounds is the work a crash
  // loses (redone by the next walk) and the number of commits, which is what
  // the bytes written grow with: a first `trovix index` of 2,236 HTML and
  // text files (80 MB, a 24 MB database) wrote 71 MB with 1 s, 48-67 MB with
  // 4 s (two or three commits, as the run's length fell) and 48 MB with 8 s;
  // one of 300,000 files (45,000 documents, an 800 MB database) on a busy
  // machine wrote 4.6 GB with 8 s (a commit every few hundred files) and
  // 2.0 GB with 60 s, when each batch ends at `batch_files`.
  std::chrono::milliseconds batch_age{60000};
  // A batch is committed once it holds this many files: one block of the
  // term-to-file index (kFileBlockBits), so a first index writes each block
  // about once.
  std::size_t batch_files = 4096;
  // The continue flag (std::atomic<unsigned>'s layout): 0 stops the reading
  // of files; what was read is still written. Outlives the indexer.
  const std::atomic<unsigned>* keep_going = nullptr;
  // Run the threads at SCHED_IDLE, as the scanner runs.
  bool idle_priority = false;
};

struct BulkResult {
  std::string path;
  FileOutcome outcome;
  HRESULT status;  // behind a failure outcome; S_OK otherwise
  // A removal (BulkIndexer::Remove): kStoreUnavailable as for a file written,
  // kFailed when the store refused the path, otherwise kUnchanged with
  // `status` S_OK (removed) or S_FALSE (it was not catalogued).
  bool removal = false;
};

// Called on the writer thread once per file that was queued and not stopped
// by the continue flag.
using BulkDone = std::function<void(const BulkResult& result)>;

// The calling thread's index store object with its batch interface, the
// database opened if it was not; null (and `*hr` set) when none can be made.
// The calling thread has initialised the component library.
[[nodiscard]] ComPtr<ITrovixBatch> OpenBatchStore(HRESULT* hr);

class BulkIndexer {
 public:
  static constexpr std::size_t kQueuedPaths = 256;

  // Starts the threads. `done` may be empty.
  BulkIndexer(BulkOptions options, BulkDone done);
  // Finish, then joins the threads.
  ~BulkIndexer();
  BulkIndexer(const BulkIndexer&) = delete;
  BulkIndexer& operator=(const BulkIndexer&) = delete;

  // Queues `path` (absolute) to be catalogued and indexed, waiting while
  // the queue is full. False, with nothing queued, after a store failure or
  // once the continue flag is 0.
  bool Add(std::string path);
  // Queues the removal of the catalogued file `path` (absolute), words and
  // entry, written in a batch like the files. Same answers as Add. Removals
  // and files are not ordered among themselves: a caller queues at most one
  // of the two for a path.
  bool Remove(std::string path);
  // Waits until every queued file was written and reported. S_OK, or the
  // database failure that stopped the pipeline. Add must not follow.
  [[nodiscard]] HRESULT Finish();
  // The database failure that stopped the pipeline; S_OK while none did.
  [[nodiscard]] HRESULT failure() const { return failure_.load(); }

 private:
  struct Queued {
    std::string path;
    bool removal = false;
  };
  struct Prepared {
    std::string path;
    bool removal = false;
    PreparedFile* file = nullptr;  // null when preparing failed, or once written
    HRESULT status = S_OK;         // PrepareFile's answer
    HRESULT answer = S_OK;         // WritePrepared's (or the failed preparation's)
  };
  enum class Next { kFile, kNotYet, kEnd };

  void PreparerMain();
  void WriterMain();
  void YieldToWaiters(ITrovixBatch* store);
  [[nodiscard]] Next TakeNext(Prepared* item, std::chrono::steady_clock::time_point until);
  void WriteWithRetries(ITrovixBatch* store, std::vector<Prepared>& batch);
  [[nodiscard]] HRESULT WriteBatch(ITrovixBatch* store, std::vector<Prepared>& batch, bool grow);
  [[nodiscard]] HRESULT WriteOne(ITrovixBatch* store, Prepared& item);
  void Report(ITrovixBatch* store, std::vector<Prepared>& batch, HRESULT failure);
  [[nodiscard]] bool Running() const;
  [[nodiscard]] bool Queue(Queued queued);

  const BulkOptions options_;
  const BulkDone done_;
  std::atomic<HRESULT> failure_{S_OK};

  std::mutex mutex_;
  std::condition_variable paths_changed_;     // paths_ or input_ended_
  std::condition_variable prepared_changed_;  // prepared_ or preparers_left_
  std::deque<Queued> paths_;                  // Guarded by mutex_.
  std::deque<Prepared> prepared_;             // Guarded by mutex_.
  bool input_ended_ = false;                  // Guarded by mutex_.
  unsigned preparers_left_ = 0;               // Guarded by mutex_.
  std::size_t prepared_limit_ = 0;            // one per preparer; constant after construction

  std::vector<std::thread> preparers_;  // owner's thread only
  std::thread writer_;                  // owner's thread only
  bool finished_ = false;               // owner's thread only
};

}  // namespace trovix::indexer
