// What the indexer's threads are doing now, for `trovix status`: the walks
// in progress with their files done, and whether a compaction runs. Written
// by the scanner and compaction threads, read by the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace trovix::indexer {

class IndexerActivity {
 public:
  // A walk of `root` began; its count starts at 0.
  void BeginScan(const std::string& root) {
    const std::lock_guard lock(mutex_);
    scans_[root] = 0;
  }
  // One more file of `root`'s walk was settled (indexed, unchanged, left out).
  void FileScanned(const std::string& root) {
    const std::lock_guard lock(mutex_);
    if (const auto found = scans_.find(root); found != scans_.end()) ++found->second;
  }
  void EndScan(const std::string& root) {
    const std::lock_guard lock(mutex_);
    scans_.erase(root);
  }
  // The walks in progress: root and files done, ordered by root.
  [[nodiscard]] std::vector<std::pair<std::string, std::uint64_t>> Scans() const {
    const std::lock_guard lock(mutex_);
    return {scans_.begin(), scans_.end()};
  }

  // Between the compaction's begin and end notices.
  std::atomic<bool> compacting{false};

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> scans_;  // guarded by mutex_
};

}  // namespace trovix::indexer
