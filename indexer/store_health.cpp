#include "indexer/store_health.h"

namespace trovix::indexer {

bool StoreHealth::ReportFailure(HRESULT hr) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!available_) return false;
  available_ = false;
  failure_ = hr;
  ++episodes_;
  changed_.notify_all();
  return true;
}

void StoreHealth::MarkAvailable() {
  std::lock_guard<std::mutex> lock(mutex_);
  available_ = true;
  changed_.notify_all();
}

void StoreHealth::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

bool StoreHealth::available() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return available_;
}

HRESULT StoreHealth::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::uint64_t StoreHealth::episodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return episodes_;
}

bool StoreHealth::WaitUntilAvailable(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return available_ || stopped_; });
  return available_ && !stopped_;
}

bool StoreHealth::WaitForTrouble(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return !available_ || stopped_; });
  return !available_ && !stopped_;
}

bool StoreHealth::PauseUnlessStopped(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, duration, [this] { return stopped_; });
  return !stopped_;
}

}  // namespace trovix::indexer
