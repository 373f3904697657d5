// One run of a helper program whose standard output is read through a pipe,
// with a budget on how long the reader may be kept waiting for it. Time in
// which the helper is ready to run but gets no CPU (a busy machine; the
// helper runs in the idle class) is not charged, up to ten minutes per
// request: a document must not fail because the user is compiling.
//
// The helper's standard input is a socket this process writes requests to
// (a socket, so that writing to a helper that died raises no SIGPIPE here);
// standard error is /dev/null. It gets no other
// descriptor of this process, default signal dispositions and an empty
// signal mask (whatever this process ignores or blocks). It is this
// process's child until Stop(), which kills it if still running and reaps
// it, so no zombie is left; the destructor stops it too.
//
// The helper dies with the thread that started it (the kernel's parent-death
// signal follows the thread, not the process), so it is of use only to that
// thread: starter() names it.
//
// Threads: one thread at a time. Stop() waits for this child only, never for
// children of others (no waitpid(-1)).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/hresult.h"

namespace docfilter {

class HelperProcess {
 public:
  HelperProcess() = default;
  ~HelperProcess() { Stop(); }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // Starts `program` with `args` after argv[0] (stopping a previous run) and
  // gives the reader `budget` of waiting in all. HresultFromErrno of a
  // failed pipe or spawn (ENOENT for a missing program).
  [[nodiscard]] HRESULT Start(const std::string& program, const std::vector<std::string>& args,
                              std::chrono::milliseconds budget);
  // Writes all of `data` to the helper's standard input, with a copy of
  // `fd` attached to its first byte unless `fd` is -1, and renews the wait
  // budget to `budget` (one budget per request). HresultFromErrno of the
  // failure (EPIPE when the helper is gone), E_UNEXPECTED when not running.
  [[nodiscard]] HRESULT Send(const void* data, std::size_t size, std::chrono::milliseconds budget,
                             int fd = -1);
  // Reads exactly `size` bytes. E_FAIL when the output ends first (the
  // helper exited or died), HRESULT_FROM_WIN32(ERROR_TIMEOUT) when the
  // budget runs out, E_UNEXPECTED when not running.
  [[nodiscard]] HRESULT Read(void* data, std::size_t size);
  void Stop();
  bool running() const { return pid_ > 0; }
  // Whether the process has ended (reaping it then); a running helper that
  // has not ended may still be waiting for a request.
  bool Exited();
  // Requests sent since Start.
  unsigned requests() const { return requests_; }
  const std::string& program() const { return program_; }
  pid_t pid() const { return pid_; }
  // The kernel thread id of the thread that called Start.
  pid_t starter() const { return starter_; }

 private:
  // Waits until the pipe is readable, charging the wait to the budget.
  [[nodiscard]] HRESULT WaitReadable();

  // Polls in slices so that a starved helper can be told from a stuck one.
  static constexpr std::chrono::milliseconds kWaitSlice{100};
  // At most this much waiting for a CPU is forgiven per request.
  static constexpr std::chrono::milliseconds kMaxStarvedWait{10 * 60 * 1000};

  pid_t pid_ = -1;
  pid_t starter_ = -1;
  int fd_ = -1;     // read end of the helper's standard output, non-blocking
  int input_ = -1;  // our end of the helper's standard input
  unsigned requests_ = 0;
  std::string program_;
  std::chrono::milliseconds left_{0};     // budget left for this request
  std::chrono::milliseconds starved_{0};  // waiting forgiven so far
};

}  // namespace docfilter
