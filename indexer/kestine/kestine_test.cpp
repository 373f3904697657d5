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
#include <string>
#include <vector>

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
  // A SIGTERM before kestine set up its handler would kill it outright; its
  // run marker appears only after that, so the stop waits for it (or for an
  // early exit).
  int Stop() {
    if (pid_ <= 0) return 0;
    int status = 0;
    bool ended = false;
    const std::string marker = tree_.state() + "/Quillon/kestine.running";
    WaitUntil([&] {
      ended = waitpid(pid_, &status, WNOHANG) != 0;
      return ended || std::filesystem::exists(marker);
    });
    if (!ended) kill(pid_, SIGTERM);
    ended = ended || WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; },
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

  // Runs trovix with `args`; its exit status, with its output in `*output`.
  int Trovix(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> argv{prefix_ + "/bin/trovix"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string ignored;
    if (output != nullptr) output->clear();
    return RunProcess(argv, output != nullptr ? output : &ignored);
  }

  // Polls `trovix status --json` until its output holds `text`.
  bool StatusShows(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(30)) {
    return WaitUntil(
        [&] {
          std::string output;
          return Trovix({"status", "--json"}, &output) == 0 &&
                 output.find(text) != std::string::npos;
        },
        limit, std::chrono::milliseconds(50));
  }

  // The backlog `trovix status --json` reports; -1 when it does not answer.
  long Backlog() {
    std::string output;
    if (Trovix({"status", "--json"}, &output) != 0) return -1;
    const std::size_t at = output.find("\"backlog\":");
    return at == std::string::npos ? -1 : std::stol(output.substr(at + 10));
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

TEST_F(KestineTest, ANewSkipTakesFilesOutAndANewRootComesInWithoutARestart) {
  trovix::testing::WriteFile(root_ + "/keep.txt", "kept ibex");
  trovix::testing::WriteFile(root_ + "/Downloads/d.txt", "downloaded ibex");
  trovix::testing::WriteFile(root_ + "/node_modules/m.txt", "vendored ibex");
  Start();
  const auto first_scan = std::chrono::seconds(90);
  ASSERT_TRUE(Eventually(
      "ibex", [&](const std::string& o) { return Has(o, root_ + "/Downloads/d.txt"); },
      first_scan));
  // Skipped by default.
  EXPECT_FALSE(Has(Search("ibex"), root_ + "/node_modules/m.txt"));

  ASSERT_EQ(Trovix({"config", "skip", "add", "~/docs/Downloads/"}), 0);
  EXPECT_TRUE(Eventually(
      "ibex", [&](const std::string& o) { return !Has(o, root_ + "/Downloads/d.txt"); },
      first_scan));
  EXPECT_TRUE(Has(Search("ibex"), root_ + "/keep.txt"));
  // No watch there any more: a new file stays out while one beside it comes in.
  trovix::testing::WriteFile(root_ + "/Downloads/new.txt", "fresh ibex");
  trovix::testing::WriteFile(root_ + "/probe.txt", "fresh ibex");
  EXPECT_TRUE(
      Eventually("fresh", [&](const std::string& o) { return Has(o, root_ + "/probe.txt"); }));
  EXPECT_FALSE(Has(Search("fresh"), root_ + "/Downloads/new.txt"));

  const std::string other = tree_.home() + "/other";
  trovix::testing::WriteFile(other + "/o.txt", "second root yak");
  ASSERT_EQ(Trovix({"config", "roots", "add", other}), 0);
  EXPECT_TRUE(Eventually(
      "yak", [&](const std::string& o) { return Has(o, other + "/o.txt"); }, first_scan));
  trovix::testing::WriteFile(other + "/watched.txt", "watched yak");
  EXPECT_TRUE(
      Eventually("yak", [&](const std::string& o) { return Has(o, other + "/watched.txt"); }));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(KestineTest, StatusTellsWhetherItRunsAndWhatItDoes) {
  std::string output;
  EXPECT_EQ(Trovix({"status"}, &output), 3);
  EXPECT_NE(output.find("The indexer is not running."), std::string::npos) << output;
  EXPECT_EQ(Trovix({"status", "--json"}, &output), 3);
  EXPECT_NE(output.find("{\"running\":false}"), std::string::npos) << output;

  for (int i = 0; i < 3000; ++i) {
    trovix::testing::WriteFile(root_ + "/many/f" + std::to_string(i) + ".txt",
                               "plenty of bison number" + std::to_string(i));
  }
  Start();
  ASSERT_TRUE(StatusShows("\"state\":\"idle\""));
  EXPECT_EQ(Trovix({"status"}, &output), 0);
  EXPECT_NE(output.find("Indexer: running (process " + std::to_string(pid_) + ")"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Root " + root_ + ": not scanned yet"), std::string::npos) << output;
  // The first walk, caught while it runs.
  EXPECT_TRUE(StatusShows("\"scanning\":[{\"root\":\"" + root_ + "\",\"files_done\":",
                          std::chrono::seconds(90)));
  EXPECT_TRUE(StatusShows("\"outcome\":1", std::chrono::seconds(120)));
  EXPECT_TRUE(StatusShows("\"files_indexed\":3000"));
  EXPECT_EQ(Trovix({"status"}, &output), 0);
  EXPECT_NE(output.find("Root " + root_ + ": last scan "), std::string::npos) << output;
  EXPECT_NE(output.find(", completed"), std::string::npos) << output;
  EXPECT_NE(output.find("Files: 3000 catalogued, 3000 indexed"), std::string::npos) << output;
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(Trovix({"status"}), 3);
}

TEST_F(KestineTest, APauseKeepsTheBacklogAcrossARestartAndAResumeAppliesIt) {
  Start();
  trovix::testing::WriteFile(root_ + "/probe.txt", "monitor probe");
  ASSERT_TRUE(
      Eventually("probe", [&](const std::string& o) { return Has(o, root_ + "/probe.txt"); }));
  std::string output;
  ASSERT_EQ(Trovix({"pause"}, &output), 0) << output;
  ASSERT_TRUE(StatusShows("\"state\":\"paused\""));
  for (int i = 0; i < 20; ++i) {
    trovix::testing::WriteFile(root_ + "/held/h" + std::to_string(i) + ".txt", "held gnu");
  }
  // Recorded (at least one change per file), not indexed.
  ASSERT_TRUE(WaitUntil([&] { return Backlog() >= 20; }, std::chrono::seconds(30),
                        std::chrono::milliseconds(50)));
  EXPECT_EQ(Search("gnu").find(root_ + "/held/"), std::string::npos);
  EXPECT_EQ(Trovix({"status"}, &output), 0);
  EXPECT_NE(output.find("Now: paused until resumed ("), std::string::npos) << output;

  EXPECT_EQ(Stop(), 0);
  Start();
  ASSERT_TRUE(StatusShows("\"state\":\"paused\""));
  EXPECT_GE(Backlog(), 20);
  EXPECT_EQ(Search("gnu").find(root_ + "/held/"), std::string::npos);

  ASSERT_EQ(Trovix({"resume"}), 0);
  EXPECT_TRUE(Eventually("gnu", [&](const std::string& o) {
    return o.find("20 files matched") != std::string::npos;
  }));
  EXPECT_TRUE(StatusShows("\"backlog\":0"));

  // A pause with an end lifts itself.
  ASSERT_EQ(Trovix({"pause", "--for", "3s"}), 0);
  ASSERT_TRUE(StatusShows("\"pause_ends\":"));
  EXPECT_TRUE(StatusShows("\"state\":\"idle\""));
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
