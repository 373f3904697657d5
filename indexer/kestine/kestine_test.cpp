// A real kestine on a private tree: it scans its index root, follows changes
// as they happen, and stops cleanly on SIGTERM. Checked with the trovix
// command of the same installation.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"

extern char** environ;

namespace {

using trovix::testing::RunProcess;
using trovix::testing::WaitUntil;

class KestineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = tree_.root() + "/prefix";
    std::string output;
    ASSERT_EQ(trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, prefix_, &output), 0)
        << output;
    // No display: kestine runs without an icon.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
    ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix-setup"}, &output), 0) << output;
    root_ = tree_.home() + "/docs";
    std::filesystem::create_directories(root_);
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetMultiString(u"Index Roots", {Utf8ToUtf16(root_)}), ERROR_SUCCESS);
  }

  void TearDown() override { Stop(); }

  void Start() {
    const std::string program = prefix_ + "/bin/kestine";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ), 0);
  }

  // SIGTERM, then the exit status (or -1 when it had to be killed).
  int Stop() {
    if (pid_ <= 0) return 0;
    kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; },
                                 std::chrono::seconds(60), std::chrono::milliseconds(50));
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The paths `trovix search` finds for `word`.
  std::string Search(const std::string& word) {
    std::string output;
    RunProcess({prefix_ + "/bin/trovix", "search", word}, &output);
    return output;
  }

  // Polls until `found` holds for the search output, for at most `limit`.
  bool Eventually(const std::string& word, const std::function<bool(const std::string&)>& found,
                  std::chrono::seconds limit = std::chrono::seconds(30)) {
    return WaitUntil([&] { return found(Search(word)); }, limit, std::chrono::milliseconds(200));
  }

  static bool Has(const std::string& output, const std::string& path) {
    return output.find(path + "\n") != std::string::npos;
  }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
  std::string root_;
  pid_t pid_ = -1;
};

TEST_F(KestineTest, ScansItsRootAndFollowsChanges) {
  trovix::testing::WriteFile(root_ + "/old.txt", "preexisting zebra");
  trovix::testing::WriteFile(root_ + "/deep/er/nested.md", "preexisting walrus");
  Start();
  // The scanner looks at its root 20 s after start-up; allow for a busy machine.
  const auto first_scan = std::chrono::seconds(90);
  ASSERT_TRUE(Eventually(
      "zebra", [&](const std::string& o) { return Has(o, root_ + "/old.txt"); }, first_scan));
  ASSERT_TRUE(Eventually(
      "walrus", [&](const std::string& o) { return Has(o, root_ + "/deep/er/nested.md"); },
      first_scan));

  trovix::testing::WriteFile(root_ + "/new.txt", "fresh giraffe");
  EXPECT_TRUE(
      Eventually("giraffe", [&](const std::string& o) { return Has(o, root_ + "/new.txt"); }));
  trovix::testing::WriteFile(root_ + "/old.txt", "rewritten okapi");
  EXPECT_TRUE(
      Eventually("okapi", [&](const std::string& o) { return Has(o, root_ + "/old.txt"); }));
  EXPECT_TRUE(
      Eventually("zebra", [&](const std::string& o) { return !Has(o, root_ + "/old.txt"); }));
  std::filesystem::rename(root_ + "/new.txt", root_ + "/renamed.txt");
  EXPECT_TRUE(Eventually("giraffe", [&](const std::string& o) {
    return Has(o, root_ + "/renamed.txt") && !Has(o, root_ + "/new.txt");
  }));
  std::filesystem::rename(root_ + "/deep", root_ + "/moved");
  EXPECT_TRUE(Eventually(
      "walrus", [&](const std::string& o) { return Has(o, root_ + "/moved/er/nested.md"); }));
  std::filesystem::remove(root_ + "/renamed.txt");
  EXPECT_TRUE(
      Eventually("giraffe", [&](const std::string& o) { return !Has(o, root_ + "/renamed.txt"); }));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(KestineTest, SigtermDuringHeavyIndexingKeepsTheBacklog) {
  Start();
  // The monitor watches once a new file reaches the index; then far more
  // changes than it can apply before the stop, which comes as soon as the
  // first of them is applied.
  trovix::testing::WriteFile(root_ + "/probe.txt", "monitor probe");
  ASSERT_TRUE(
      Eventually("probe", [&](const std::string& o) { return Has(o, root_ + "/probe.txt"); }));
  for (int i = 0; i < 400; ++i) {
    trovix::testing::WriteFile(root_ + "/batch/file" + std::to_string(i) + ".txt",
                               "backlog quokka number" + std::to_string(i));
  }
  ASSERT_TRUE(Eventually(
      "quokka",
      [&](const std::string& o) { return o.find(root_ + "/batch/") != std::string::npos; },
      std::chrono::seconds(60)));
  EXPECT_EQ(Stop(), 0);
  // The next start applies what was left (from the saved backlog or its scan).
  Start();
  EXPECT_TRUE(Eventually(
      "quokka",
      [&](const std::string& o) { return o.find("400 files matched") != std::string::npos; },
      std::chrono::seconds(90)));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(KestineTest, ASecondIndexerRefusesToRunAndTheLockEndsWithTheFirst) {
  const std::string lock = tree_.runtime() + "/Quillon/kestine.lock";
  const auto holds_lock = [&](pid_t pid) {
    return std::filesystem::exists(lock) &&
           trovix::testing::ReadFile(lock) == std::to_string(pid) + "\n";
  };
  Start();
  const pid_t first = pid_;
  ASSERT_TRUE(WaitUntil([&] { return holds_lock(first); }, std::chrono::seconds(30),
                        std::chrono::milliseconds(50)));

  std::string output;
  EXPECT_EQ(RunProcess({prefix_ + "/bin/kestine"}, &output), 1);
  const std::string pid = std::to_string(first);
  EXPECT_NE(output.find("kestine is already running (process " + pid +
                        "); stop it with: systemctl --user stop kestine, or kill " + pid),
            std::string::npos)
      << output;
  // The first one goes on indexing.
  int status = 0;
  EXPECT_EQ(waitpid(first, &status, WNOHANG), 0);
  EXPECT_TRUE(holds_lock(first));
  trovix::testing::WriteFile(root_ + "/probe.txt", "still indexing");
  EXPECT_TRUE(
      Eventually("indexing", [&](const std::string& o) { return Has(o, root_ + "/probe.txt"); }));

  // Killed outright, it leaves no lock behind.
  kill(first, SIGKILL);
  ASSERT_EQ(waitpid(first, &status, 0), first);
  pid_ = -1;
  Start();
  const pid_t second = pid_;
  EXPECT_TRUE(WaitUntil([&] { return holds_lock(second); }, std::chrono::seconds(30),
                        std::chrono::milliseconds(50)));
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
