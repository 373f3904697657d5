// The indexing pipeline for bulk work (a walk of a tree, a backlog of
// tasks): the caller's thread queues paths, N preparer threads read and
// count each file's words in memory (the content filters and the tokenizer,
// which are most of the work, on every core), and one writer thread writes
// them to the index store many files per transaction.
//
//   caller --Add--> [paths, bounded] --> preparers (PrepareFile)
//                  --> [prepared, bounded] --> writer (batches) --> done()
//
// A batch is written once its first file has waited `batch_age`, once it
// holds `batch_files` files, or when the input ends; the writer holds
// the write mutex only while it writes, and commits and lets go of it after
// `max_hold` of writing, so readers wait at most about that long.
//
// Invariants:
//  1. done() is called for a file only after the batch holding it committed
//     (or, for a file refused before writing, after that was known), so a
//     file reported indexed has its words in the database. A crash loses at
//     most the files of the open batch; none of them was reported.
//  2. A database failure (see IsStoreFailure) that outlasts a few retries
//     of the batch stops the pipeline: that batch's files, and every file
//     queued after, are reported kStoreUnavailable with the failure; Add
//     answers false from then on.
//  3. Memory is bounded: at most kQueuedPaths paths, 2 × N prepared files
//     in the queue, and one batch of at most `batch_files` files in the
//     writer.
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
#include "shared/itrovixbatch.h"

namespace trovix::indexer {

struct BulkOptions {
  // Preparer threads; 0 means one per processor.
  unsigned preparers = 0;
  // How long the first file of a batch waits for more at most. Measured on
  // 2,238 HTML and text files (83 MB): 0.5 s batches cut after 80 ms of
  // writing wrote 604 MB for a 24 MB database, 1 s batches cut after 250 ms
  // wrote 221 MB (a file per transaction: 1.9 GB); a saved file is still
  // found within about a second.
  std::chrono::milliseconds batch_age{1000};
  // A batch is written once it holds this many files.
  std::size_t batch_files = 2048;
  // The writer commits and gives up the write mutex after writing this long,
  // which bounds a reader's wait for the mutex.
  std::chrono::milliseconds max_hold{250};
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
};

// Called on the writer thread once per file that was queued and not stopped
// by the continue flag.
using BulkDone = std::function<void(const BulkResult& result)>;

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
  // Waits until every queued file was written and reported. S_OK, or the
  // database failure that stopped the pipeline. Add must not follow.
  [[nodiscard]] HRESULT Finish();
  // The database failure that stopped the pipeline; S_OK while none did.
  [[nodiscard]] HRESULT failure() const { return failure_.load(); }

 private:
  struct Prepared {
    std::string path;
    PreparedFile* file = nullptr;  // null when preparing failed
    HRESULT status = S_OK;         // PrepareFile's answer
  };

  void PreparerMain();
  void WriterMain();
  [[nodiscard]] bool TakeGroup(std::vector<Prepared>* group);
  void WriteGroup(ITrovixBatch* store, std::vector<Prepared>& group);
  [[nodiscard]] HRESULT WriteBatch(ITrovixBatch* store, std::vector<Prepared>& group,
                                   std::size_t first, std::size_t* end,
                                   std::vector<HRESULT>* answers);
  void Report(ITrovixBatch* store, std::vector<Prepared>& group, std::size_t first, std::size_t end,
              const std::vector<HRESULT>& answers, HRESULT failure);
  [[nodiscard]] bool Running() const;

  const BulkOptions options_;
  const BulkDone done_;
  std::atomic<HRESULT> failure_{S_OK};

  std::mutex mutex_;
  std::condition_variable paths_changed_;     // paths_ or input_ended_
  std::condition_variable prepared_changed_;  // prepared_ or preparers_left_
  std::deque<std::string> paths_;             // Guarded by mutex_.
  std::deque<Prepared> prepared_;             // Guarded by mutex_.
  bool input_ended_ = false;                  // Guarded by mutex_.
  unsigned preparers_left_ = 0;               // Guarded by mutex_.
  std::size_t prepared_limit_ = 0;            // 2 × preparers; constant after construction

  std::vector<std::thread> preparers_;  // owner's thread only
  std::thread writer_;                  // owner's thread only
  bool finished_ = false;               // owner's thread only
};

}  // namespace trovix::indexer
