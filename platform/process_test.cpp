#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/testing/private_tree.h"

namespace {

using namespace std::chrono_literals;
using trovix::testing::PrivateTree;

// Waits for `path` to appear (the started program renames its report into
// place when done); its text, or empty after ten seconds.
std::string AwaitReport(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (std::filesystem::exists(path)) return trovix::testing::ReadFile(path);
    std::this_thread::sleep_for(10ms);
  }
  return {};
}

bool HasUnreapedChild() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) >= 0;  // ECHILD: no child at all
}

// The started program reports, one per line: its parent, its folder, an
// inherited variable, its two arguments verbatim, whether it is a session
// leader, whether a descriptor without close-on-exec reached it, and its
// ignored signals.
TEST(StartProcessTest, StartsDetachedWithEnvironmentFolderAndArgumentsOnly) {
  PrivateTree tree;
  const std::string report = tree.home() + "/report";
  const int stray = open(tree.root().c_str(), O_RDONLY);  // no O_CLOEXEC on purpose
  ASSERT_GE(stray, 0);
  setenv("TROVIX_PROCESS_MARK", "mark with spaces", 1);
  const auto old_folder = std::filesystem::current_path();
  std::filesystem::current_path(tree.home());
  struct sigaction ignore {};
  struct sigaction old_pipe {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  const int before = trovix::testing::OpenDescriptorCount();

  const std::string script =
      "{ echo \"$PPID\"; pwd; echo \"$TROVIX_PROCESS_MARK\"; echo \"$1\"; echo \"$2\";"
      "  [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo leader || echo member;"
      "  [ -e /proc/$$/fd/" +
      std::to_string(stray) +
      " ] && echo leaked || echo clean;"
      "  grep SigIgn /proc/$$/status; } > report.tmp && mv report.tmp report";
  EXPECT_EQ(StartProcess("/bin/sh", {"-c", script, "sh", "two words", "$HOME;*"}), S_OK);
  EXPECT_FALSE(HasUnreapedChild()) << "the helper must be reaped, the program not ours";
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), before);

  sigaction(SIGPIPE, &old_pipe, nullptr);
  std::filesystem::current_path(old_folder);
  close(stray);
  unsetenv("TROVIX_PROCESS_MARK");
  std::istringstream lines(AwaitReport(report));
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_NE(got[0], std::to_string(getpid()));
  EXPECT_EQ(got[1], tree.home());
  EXPECT_EQ(got[2], "mark with spaces");
  EXPECT_EQ(got[3], "two words");
  EXPECT_EQ(got[4], "$HOME;*") << "arguments pass through no shell";
  EXPECT_EQ(got[5], "leader");
  EXPECT_EQ(got[6], "clean");
  // Signals 32 and 33 are glibc's own (thread cancellation, set*id); its
  // posix_spawn leaves them ignored and no program can use them anyway.
  ASSERT_EQ(got[7].rfind("SigIgn:\t", 0), 0u);
  const unsigned long long ignored = std::stoull(got[7].substr(8), nullptr, 16);
  EXPECT_EQ(ignored & ~0x180000000ull, 0u) << "the starter's SIGPIPE setting leaked";
}

TEST(StartProcessTest, ReportsWhyAProgramCannotStartAndLeavesNoChild) {
  PrivateTree tree;
  const std::string not_executable = tree.home() + "/plain.txt";
  trovix::testing::WriteFile(not_executable, "just text\n");
  chmod(not_executable.c_str(), 0600);
  EXPECT_EQ(StartProcess(tree.home() + "/missing", {}), HresultFromErrno(ENOENT));
  EXPECT_EQ(StartProcess(not_executable, {}), HresultFromErrno(EACCES));
  EXPECT_EQ(StartProcess(tree.home(), {}), HresultFromErrno(EACCES));
  EXPECT_EQ(StartProcess("", {"x"}), E_INVALIDARG);
  EXPECT_FALSE(HasUnreapedChild());
}

}  // namespace
