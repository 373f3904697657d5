#include "filters/helper_pool.h"

#include <unistd.h>

#include <algorithm>

namespace docfilter {

std::unique_ptr<HelperProcess> HelperPool::Take(const std::string& program) {
  const pid_t caller = gettid();
  std::unique_ptr<HelperProcess> found;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
      if ((*it)->program() == program && (*it)->starter() == caller) {
        found = std::move(*it);
        idle_.erase(it);
        break;
      }
    }
  }
  // It may have died since it was given back (a crash, a kill).
  if (found != nullptr && found->Exited()) found.reset();
  return found;
}

void HelperPool::Give(std::unique_ptr<HelperProcess> helper) {
  if (helper == nullptr || helper->requests() >= max_requests_ || helper->Exited()) return;
  std::vector<std::unique_ptr<HelperProcess>> surplus;  // stopped outside the lock
  const std::lock_guard<std::mutex> lock(mutex_);
  // Helpers of threads that have ended are dead: they make room.
  const auto dead =
      std::stable_partition(idle_.begin(), idle_.end(), [](auto& idle) { return !idle->Exited(); });
  std::move(dead, idle_.end(), std::back_inserter(surplus));
  idle_.erase(dead, idle_.end());
  if (idle_.size() < max_idle_) {
    idle_.push_back(std::move(helper));
  } else {
    surplus.push_back(std::move(helper));
  }
}

std::size_t HelperPool::idle() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace docfilter
