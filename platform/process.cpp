#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// What posix_spawn needs, prepared before fork: between fork and exec a child
// of a threaded process may only make async-signal-safe calls, so it must not
// allocate.
class SpawnPlan {
 public:
  SpawnPlan(const std::string& program, const std::vector<std::string>& args) {
    argv_.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv_.push_back(const_cast<char*>(arg.c_str()));
    argv_.push_back(nullptr);
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
    error_ = posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (error_ == 0) error_ = posix_spawnattr_setsigmask(&attr_, &none);
    if (error_ == 0) error_ = posix_spawnattr_setsigdefault(&attr_, &all);
    if (error_ == 0) {
      error_ = posix_spawnattr_setflags(
          &attr_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
  }
  ~SpawnPlan() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  int error() const { return error_; }
  // 0 or the errno value of the failed start.
  int Spawn() const {
    pid_t pid = -1;
    return posix_spawn(&pid, argv_[0], &actions_, &attr_, argv_.data(), environ);
  }

 private:
  std::vector<char*> argv_;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  int error_ = 0;
};

}  // namespace

// Double start: a short-lived helper child spawns the program and exits at
// once with posix_spawn's answer as its exit code (errno values fit in 8
// bits). The program is thus orphaned and adopted by init (or the session's
// subreaper), which reaps it; we reap only the helper.
HRESULT StartProcess(const std::string& program, const std::vector<std::string>& args) {
  if (program.empty()) return E_INVALIDARG;
  const SpawnPlan plan(program, args);
  if (plan.error() != 0) return HresultFromErrno(plan.error());
  const pid_t helper = fork();
  if (helper < 0) return HresultFromErrno(errno);
  if (helper == 0) _exit(plan.Spawn());
  int status = 0;
  while (waitpid(helper, &status, 0) < 0) {
    // ECHILD: SIGCHLD is ignored, so the kernel reaped the helper and its
    // answer is lost; the spawn itself most likely worked.
    if (errno == ECHILD) return S_OK;
    if (errno != EINTR) return HresultFromErrno(errno);
  }
  if (!WIFEXITED(status)) return E_FAIL;
  const int error = WEXITSTATUS(status);
  return error == 0 ? S_OK : HresultFromErrno(error);
}
