// Telling the user, once per file, why a file is not (fully) in the index:
// too long a path, too large, unreadable, refused. The indexer meets the same
// file at every walk; telling it each time would bury the log, and telling it
// never leaves the user wondering why a file is not found.
//
// Threads: any; the set of files told is guarded by its own mutex.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>

#include "indexer/file_processing.h"

namespace trovix::indexer {

class FileNotices {
 public:
  // Receives one line per notice (no newline).
  using Sink = std::function<void(const std::string& line)>;

  // At most this many files are remembered; past it one line says that
  // further notices are not written.
  static constexpr std::size_t kMaxRemembered = 100000;

  explicit FileNotices(Sink sink = {}) : sink_(std::move(sink)) {}

  void set_sink(Sink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
  }

  // Tells `outcome` for `path` (with `status` when not S_OK) unless this
  // path was told before, or the outcome needs no telling (indexed,
  // unchanged, no filter, a store failure: that one is told once for the
  // whole store). Answers whether a line was written.
  bool Note(const std::string& path, FileOutcome outcome, HRESULT status);

 private:
  std::mutex mutex_;
  Sink sink_;                             // Guarded by mutex_.
  std::unordered_set<std::string> told_;  // Guarded by mutex_.
  bool full_ = false;                     // Guarded by mutex_.
};

}  // namespace trovix::indexer
