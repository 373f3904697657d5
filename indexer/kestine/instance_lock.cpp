#include "indexer/kestine/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/sync.h"

namespace trovix::indexer {
namespace {

// A holder writes its PID just after taking the lock, so a second indexer
// that starts at the same moment may find the file still empty. It looks
// again for this long before calling the holder unknown.
constexpr auto kPidGrace = std::chrono::milliseconds(500);
constexpr auto kPidRetry = std::chrono::milliseconds(10);

pid_t ReadHolder(int fd) {
  const auto end = std::chrono::steady_clock::now() + kPidGrace;
  for (;;) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n > 0) {
      const long pid = std::strtol(text, nullptr, 10);
      if (pid > 0) return static_cast<pid_t>(pid);
    }
    if (std::chrono::steady_clock::now() >= end) return 0;
    std::this_thread::sleep_for(kPidRetry);
  }
}

}  // namespace

InstanceLock::~InstanceLock() {
  // Closing the only descriptor drops the flock; the file stays for the next
  // indexer (removing it would let two processes lock two different files).
  if (fd_ >= 0) close(fd_);
}

InstanceLock::Result InstanceLock::Acquire(pid_t* holder, std::string* detail) {
  *holder = 0;
  const std::string folder = RuntimeNamespaceDir();
  if (folder.empty()) {
    *detail = "no private runtime folder for the instance lock (check XDG_RUNTIME_DIR)";
    return Result::kFailed;
  }
  const std::string path = folder + "/kestine.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *detail = "cannot open " + path + ": " + std::strerror(errno);
    return Result::kFailed;
  }
  int rc = 0;
  while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) *holder = ReadHolder(fd);
    close(fd);
    if (error == EWOULDBLOCK) return Result::kHeld;
    *detail = "cannot lock " + path + ": " + std::strerror(error);
    return Result::kFailed;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock is what counts; a missing PID only makes a second indexer's
    // message vaguer.
    *detail = "cannot write the PID to " + path + ": " + std::strerror(errno);
  }
  fd_ = fd;
  return Result::kAcquired;
}

}  // namespace trovix::indexer
