#include "filters/helper_pool.h"

namespace docfilter {

std::unique_ptr<HelperProcess> HelperPool::Take(const std::string& program) {
  std::unique_ptr<HelperProcess> found;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
      if ((*it)->program() == program) {
        found = std::move(*it);
        idle_.erase(it);
        break;
      }
    }
  }
  // A helper dies with the thread that started it: one whose thread has
  // ended since is of no use.
  if (found != nullptr && found->Exited()) found.reset();
  return found;
}

void HelperPool::Give(std::unique_ptr<HelperProcess> helper) {
  if (helper == nullptr || helper->requests() >= max_requests_ || helper->Exited()) return;
  std::unique_ptr<HelperProcess> surplus;  // stopped outside the lock
  const std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < max_idle_) {
    idle_.push_back(std::move(helper));
  } else {
    surplus = std::move(helper);
  }
}

std::size_t HelperPool::idle() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace docfilter
