#include "filters/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace docfilter {
namespace {

// posix_spawn's attributes and file actions, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int Prepare(int input_fd, int output_fd) {
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    int rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0)
      rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, input_fd, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, output_fd, 1);
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    return rc;
  }
};

// Whether the process is running or waiting only for a CPU (state R in
// /proc/PID/stat, which follows the parenthesised command name).
bool IsRunnable(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[512];
  const ssize_t n = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (n <= 0) return false;
  stat[n] = '\0';
  const char* end_of_name = std::strrchr(stat, ')');
  return end_of_name != nullptr && end_of_name[1] == ' ' && end_of_name[2] == 'R';
}

}  // namespace

HRESULT HelperProcess::Start(const std::string& program, const std::vector<std::string>& args,
                             std::chrono::milliseconds budget) {
  Stop();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return HresultFromErrno(errno);
  int input_fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input_fds) != 0) {
    const int error = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return HresultFromErrno(error);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  SpawnSetup setup;
  int rc = setup.Prepare(input_fds[1], pipe_fds[1]);
  if (rc == 0) {
    rc = posix_spawn(&pid_, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  }
  close(pipe_fds[1]);  // the helper holds the only write end: its exit is our end of file
  close(input_fds[1]);
  if (rc != 0) {
    pid_ = -1;
    close(pipe_fds[0]);
    close(input_fds[0]);
    return HresultFromErrno(rc);
  }
  fd_ = pipe_fds[0];
  input_ = input_fds[0];
  starter_ = gettid();
  starved_ = std::chrono::milliseconds(0);
  requests_ = 0;
  program_ = program;
  (void)fcntl(fd_, F_SETFL, O_NONBLOCK);
  left_ = budget;
  return S_OK;
}

HRESULT HelperProcess::Send(const void* data, std::size_t size, std::chrono::milliseconds budget,
                            int fd) {
  if (input_ < 0) return E_UNEXPECTED;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    iovec io{const_cast<char*>(p), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    if (fd >= 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    const ssize_t n = sendmsg(input_, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HresultFromErrno(errno);
    fd = -1;  // went with the first bytes
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  ++requests_;
  left_ = budget;
  starved_ = std::chrono::milliseconds(0);
  return S_OK;
}

bool HelperProcess::Exited() {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t done = waitpid(pid_, &status, WNOHANG);
  while (done < 0 && errno == EINTR) done = waitpid(pid_, &status, WNOHANG);
  if (done == 0) return false;
  pid_ = -1;  // reaped (or not ours to wait for any more)
  Stop();
  return true;
}

HRESULT HelperProcess::WaitReadable() {
  using Clock = std::chrono::steady_clock;
  struct pollfd p {
    fd_, POLLIN, 0
  };
  while (left_.count() > 0) {
    const auto slice = std::min(left_, kWaitSlice);
    const Clock::time_point start = Clock::now();
    const int n = poll(&p, 1, static_cast<int>(slice.count()));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (n > 0) return S_OK;
    if (n < 0 && errno != EINTR) return HresultFromErrno(errno);
    // A helper that is ready to run but gets no CPU (it runs in the idle
    // class, and the machine is busy) is not charged for the wait, up to a
    // bound; one that sleeps or is stuck is.
    if (n == 0 && starved_ + waited <= kMaxStarvedWait && IsRunnable(pid_)) {
      starved_ += waited;
    } else {
      left_ -= waited;
    }
  }
  return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
}

HRESULT HelperProcess::Read(void* data, std::size_t size) {
  if (fd_ < 0) return E_UNEXPECTED;
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd_, p, size);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
    } else if (n == 0) {
      return E_FAIL;
    } else if (errno == EAGAIN) {
      const HRESULT hr = WaitReadable();
      if (FAILED(hr)) return hr;
    } else if (errno != EINTR) {
      return HresultFromErrno(errno);
    }
  }
  return S_OK;
}

void HelperProcess::Stop() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (input_ >= 0) close(input_);
  input_ = -1;
  if (pid_ <= 0) return;
  // Killed even when it seems done: that bounds the wait below, and a
  // helper that already exited is only a zombie that the kill leaves alone.
  (void)kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace docfilter
