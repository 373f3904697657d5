// Idle trovix-filterhost processes kept between files, so that indexing a
// folder of documents does not pay a process start per file.
//
// Only a helper that answered its last file with a well-formed end frame of
// a successful parse comes back here; one that crashed, hit a limit, wrote
// garbage, failed a parse or was abandoned in the middle of a file is
// killed, and the next file gets a fresh one. A helper retires after
// `max_requests` files, which bounds what a slow leak in a parser costs.
//
// A helper is handed back only to the thread that started it: it is killed
// when that thread ends, and another thread could be reading a file through
// it at that moment. An idle helper whose thread ended is dropped.
//
// Threads: any; the idle list is guarded by mutex_. A helper taken out
// belongs to the taker's thread alone.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filters/helper_process.h"

namespace docfilter {

class HelperPool {
 public:
  explicit HelperPool(std::size_t max_idle = 2, unsigned max_requests = 1000)
      : max_idle_(max_idle), max_requests_(max_requests) {}
  // Kills and reaps every idle helper.
  ~HelperPool() = default;
  HelperPool(const HelperPool&) = delete;
  HelperPool& operator=(const HelperPool&) = delete;

  // An idle, still running helper of `program` that the calling thread
  // started, or null.
  [[nodiscard]] std::unique_ptr<HelperProcess> Take(const std::string& program);
  // Keeps `helper` for a later file when there is room and it has served
  // fewer than max_requests files; otherwise stops it.
  void Give(std::unique_ptr<HelperProcess> helper);
  std::size_t idle() const;

 private:
  const std::size_t max_idle_;
  const unsigned max_requests_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<HelperProcess>> idle_;  // Guarded by mutex_.
};

}  // namespace docfilter
