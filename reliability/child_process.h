// A program under test as a child process the test can watch, kill and wait
// for: its output goes to a file (a pipe nobody reads would stall a chatty
// child), its environment is the test's plus chosen variables.
//
// Threads: a ChildProcess belongs to the thread that started it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace trovix::reliability {

// Variables added to (or replacing those of) the test's environment.
using Environment = std::map<std::string, std::string>;

class ChildProcess {
 public:
  // Starts `argv` (argv[0] a path) with `environment` added; stdout and
  // stderr go to `output_path` (truncated). started() is false when the
  // program could not be started.
  ChildProcess(const std::vector<std::string>& argv, const Environment& environment,
               std::string output_path);
  // Kills and reaps the child when it still runs: no test leaves a process.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // True while the child has not ended (reaps it when it has).
  [[nodiscard]] bool Running();
  // Sends `signal` when the child still runs.
  void Signal(int signal);
  // Waits up to `timeout` for the end; the exit status, 128 + the signal
  // number when a signal ended it, or nullopt when it still runs.
  [[nodiscard]] std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGTERM, up to `timeout` for the end, then SIGKILL; the status as Wait's
  // (-1 when SIGKILL was needed).
  int Stop(std::chrono::milliseconds timeout);
  // What the child wrote so far.
  [[nodiscard]] std::string Output() const;
  // Processor time (user + system) the child used so far, from
  // /proc/PID/stat; nullopt once it has been reaped.
  [[nodiscard]] std::optional<double> CpuSeconds() const;

 private:
  void Reap(int status);

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string output_path_;
};

// Runs `argv` to its end (at most `timeout`, then it is killed) and answers
// its status as ChildProcess::Wait does, -1 when it had to be killed;
// `*output` receives stdout and stderr.
int RunToEnd(const std::vector<std::string>& argv, const Environment& environment,
             const std::string& output_path, std::string* output,
             std::chrono::milliseconds timeout = std::chrono::minutes(5));

}  // namespace trovix::reliability
