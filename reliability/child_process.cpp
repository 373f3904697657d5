#include "reliability/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"

extern char** environ;

namespace trovix::reliability {
namespace {

// The test's environment with `extra` laid over it, as "NAME=value" strings.
std::vector<std::string> MergedEnvironment(const Environment& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (extra.count(name) == 0) merged.push_back(text);
  }
  for (const auto& [name, value] : extra) merged.push_back(name + "=" + value);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

int DecodeStatus(int status) {
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& environment,
                           std::string output_path)
    : output_path_(std::move(output_path)) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(environment);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, arg_pointers[0], &actions, nullptr, arg_pointers.data(),
                  env_pointers.data()) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) Reap(status);
  }
}

void ChildProcess::Reap(int status) { status_ = DecodeStatus(status); }

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  Reap(status);
  return false;
}

void ChildProcess::Signal(int signal) {
  if (Running()) kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  testing::WaitUntil([this] { return !Running(); }, timeout, std::chrono::milliseconds(10));
  return status_;
}

int ChildProcess::Stop(std::chrono::milliseconds timeout) {
  Signal(SIGTERM);
  if (const std::optional<int> status = Wait(timeout)) return *status;
  Signal(SIGKILL);
  static_cast<void>(Wait(std::chrono::seconds(30)));
  return -1;
}

std::string ChildProcess::Output() const { return testing::ReadFile(output_path_); }

std::optional<double> ChildProcess::CpuSeconds() const {
  if (pid_ <= 0 || status_) return std::nullopt;
  const std::string stat = testing::ReadFile("/proc/" + std::to_string(pid_) + "/stat");
  // The command name (field 2) may hold spaces and parentheses: count the
  // fields from the last ')'. utime and stime are fields 14 and 15.
  const std::size_t end_of_name = stat.rfind(')');
  if (end_of_name == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(end_of_name + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int RunToEnd(const std::vector<std::string>& argv, const Environment& environment,
             const std::string& output_path, std::string* output,
             std::chrono::milliseconds timeout) {
  ChildProcess child(argv, environment, output_path);
  if (!child.started()) return -1;
  const std::optional<int> status = child.Wait(timeout);
  if (!status) child.Signal(SIGKILL);
  static_cast<void>(child.Wait(std::chrono::seconds(30)));
  if (output != nullptr) *output = child.Output();
  return status.value_or(-1);
}

}  // namespace trovix::reliability
