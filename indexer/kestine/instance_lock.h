// One indexer per user: the exclusive flock of "<runtime namespace>/
// kestine.lock" (see RuntimeNamespaceDir), held for the life of the process.
//
// The kernel drops the flock when the process ends in any way, SIGKILL
// included, so a lock is never left behind by a dead indexer. The file holds
// the PID of the process that holds the lock, written after taking it; it
// only names the holder for the message a second indexer prints and is never
// trusted to decide who holds the lock.
//
// Threads: Acquire is called once, on the main thread, before any other
// thread starts.
#pragma once

#include <sys/types.h>

#include <string>

namespace trovix::indexer {

class InstanceLock {
 public:
  enum class Result {
    kAcquired,  // this process is the user's indexer
    kHeld,      // another process holds the lock; `holder` names it (0 when unknown)
    kFailed,    // no lock could be made; `detail` says why
  };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock without waiting.
  [[nodiscard]] Result Acquire(pid_t* holder, std::string* detail);

 private:
  int fd_ = -1;  // open and locked while held; the descriptor is close-on-exec
};

}  // namespace trovix::indexer
