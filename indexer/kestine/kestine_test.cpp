// A real kestine on a private tree: it scans its index root, follows changes
// as they happen, and stops cleanly on SIGTERM. Checked with the trovix
// command of the same installation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/long_path.h"
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

  void TearDown() override {
    Stop();
    StopUPower();
    if (bus_pid_ > 0) kill(bus_pid_, SIGTERM);
  }

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

  // Rewrites a probe file until it is found: from then on changes are
  // followed (with no first scan to fall back on, a probe written before
  // the watches exist would never be).
  bool WaitUntilWatching() {
    const std::string probe = root_ + "/probe.txt";
    return WaitUntil(
        [&] {
          trovix::testing::WriteFile(probe, "monitor probe");
          return Has(Search("probe"), probe);
        },
        std::chrono::seconds(60), std::chrono::milliseconds(500));
  }

  // A number `trovix status --json` reports under `key`; -1 when it does
  // not answer.
  long StatusNumber(const std::string& key) {
    std::string output;
    if (Trovix({"status", "--json"}, &output) != 0) return -1;
    const std::size_t at = output.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stol(output.substr(at + key.size() + 3));
  }

  // The CPU time kestine has used so far (user + system, /proc/PID/stat).
  double CpuSeconds() const {
    const std::string stat = trovix::testing::ReadFile("/proc/" + std::to_string(pid_) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);  // fields 14 and 15: utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  // A bus of the test's own as the system bus of the programs it starts.
  void StartSystemBus() {
    const std::string address = "unix:path=" + tree_.runtime() + "/system_bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    const std::string config = tree_.root() + "/system-bus.conf";
    trovix::testing::WriteFile(
        config,
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>system</type><listen>" +
            address +
            "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
            "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
    // No output captured: the forked daemon would hold the pipe open.
    const std::string pid_file = tree_.root() + "/system-bus.pid";
    ASSERT_EQ(RunProcess({"/bin/sh", "-c",
                          "dbus-daemon --config-file='" + config + "' --fork --print-pid=1 >'" +
                              pid_file + "' 2>/dev/null </dev/null"}),
              0);
    bus_pid_ = std::atoi(trovix::testing::ReadFile(pid_file).c_str());
    ASSERT_GT(bus_pid_, 0);
  }

  // The stand-in UPower on that bus, on mains until told otherwise.
  void StartUPower() {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    char* argv[] = {const_cast<char*>(UPOWER_STANDIN), nullptr};
    const int spawned = posix_spawn(&upower_pid_, UPOWER_STANDIN, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    upower_input_ = fds[1];
    ASSERT_EQ(spawned, 0);
    const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(WaitUntil([&] {
      std::string reply;
      RunProcess({"gdbus", "call", "--address", address, "--dest", "org.freedesktop.DBus",
                  "--object-path", "/org/freedesktop/DBus", "--method",
                  "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.UPower"},
                 &reply);
      return reply == "(true,)\n";
    }));
  }
  void SetPower(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(upower_input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The end of its input ends the stand-in.
  void StopUPower() {
    if (upower_input_ >= 0) close(upower_input_);
    upower_input_ = -1;
    if (upower_pid_ > 0) waitpid(upower_pid_, nullptr, 0);
    upower_pid_ = -1;
  }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
  std::string root_;
  pid_t pid_ = -1;
  pid_t bus_pid_ = -1;
  pid_t upower_pid_ = -1;
  int upower_input_ = -1;
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

// Paths up to PATH_MAX: a new file deep down is noticed and found, and the
// task of one made while paused is saved and loaded again by a restart.
TEST_F(KestineTest, ALongPathFileIsFoundAndItsTaskOutlivesARestart) {
  Start();
  trovix::testing::WriteFile(root_ + "/probe.txt", "monitor probe");
  ASSERT_TRUE(
      Eventually("probe", [&](const std::string& o) { return Has(o, root_ + "/probe.txt"); }));
  const std::string seen =
      trovix::testing::MakeLongPathFile(root_ + "/seen", 4000, ".txt", "deep narwhal");
  EXPECT_TRUE(Eventually("narwhal", [&](const std::string& o) { return Has(o, seen); }));

  std::string output;
  ASSERT_EQ(Trovix({"pause"}, &output), 0) << output;
  ASSERT_TRUE(StatusShows("\"state\":\"paused\""));
  const std::string held = trovix::testing::MakeLongPathFile(root_ + "/held", 1000, ".md",
                                                             "held quokka", /*odd_byte=*/true);
  ASSERT_TRUE(WaitUntil([&] { return Backlog() >= 1; }, std::chrono::seconds(30),
                        std::chrono::milliseconds(50)));
  EXPECT_EQ(Stop(), 0);
  Start();
  ASSERT_TRUE(StatusShows("\"state\":\"paused\""));
  EXPECT_GE(Backlog(), 1) << "only the long path's tasks were waiting";
  ASSERT_EQ(Trovix({"resume"}), 0);
  EXPECT_TRUE(Eventually("quokka", [&](const std::string& o) { return Has(o, held); }));
  EXPECT_EQ(Stop(), 0);
}

// Letters only, so that each line's word is one word: 0 -> "a", 12 -> "bc".
std::string Letters(int number) {
  std::string digits = std::to_string(number);
  for (char& digit : digits) digit = static_cast<char>('a' + (digit - '0'));
  return digits;
}

// A 2 MB file with a line appended ten times a second, each append opening
// and closing it: kestine indexes it when the appends begin and once they
// stop, not once per line, and finds the last line a quiet period later.
TEST_F(KestineTest, AFileAppendedToAgainAndAgainIsIndexedOnceItGoesQuiet) {
  {
    RegKey key;  // closed before kestine reads the settings
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"Suppress Startup Scan", 1), ERROR_SUCCESS);  // no scan in the figures
  }
  Start();
  ASSERT_TRUE(WaitUntilWatching());

  const std::string log = root_ + "/busy.txt";
  std::string text;
  for (int i = 0; text.size() < 2'000'000; ++i) text += "filler word" + Letters(i % 5000) + " ";
  const double cpu_at_write = CpuSeconds();
  trovix::testing::WriteFile(log, text + "\nopening kestrel\n");
  ASSERT_TRUE(Eventually("kestrel", [&](const std::string& o) { return Has(o, log); }));
  const double one_indexing = CpuSeconds() - cpu_at_write;
  ASSERT_TRUE(StatusShows("\"backlog\":0,\"settling\":0"));

  constexpr int kAppends = 150;
  const long applied_before = StatusNumber("applied");
  const double cpu_before = CpuSeconds();
  for (int i = 0; i < kAppends; ++i) {
    const std::string line = "appended mark" + Letters(i) + "\n";
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string last = "mark" + Letters(kAppends - 1);
  EXPECT_TRUE(Eventually(last, [&](const std::string& o) { return Has(o, log); }));
  ASSERT_TRUE(StatusShows("\"backlog\":0,\"settling\":0"));
  const long indexings = StatusNumber("applied") - applied_before;
  const double cpu = CpuSeconds() - cpu_before;
  RecordProperty("indexings", std::to_string(indexings));
  RecordProperty("cpu_seconds", std::to_string(cpu));
  RecordProperty("first_indexing_cpu_seconds", std::to_string(one_indexing));
  EXPECT_GE(indexings, 1);
  EXPECT_LE(indexings, kAppends / 20) << "changes applied for " << kAppends << " appends";
  EXPECT_LT(cpu, std::max(0.5, one_indexing * kAppends / 10))
      << "kestine's CPU seconds over the appends; the first indexing took " << one_indexing;
  EXPECT_EQ(Stop(), 0);
}

// UPower on a private system bus: on battery indexing waits (changes are
// still recorded) and status says so; the user's pause and resume are a
// pause of their own; back on mains, or with the setting off, it goes on.
TEST_F(KestineTest, OnBatteryIndexingWaitsApartFromTheUsersPauseAndGoesOnOnMains) {
  StartSystemBus();
  Start();
  // No UPower on the bus yet: on mains.
  ASSERT_TRUE(WaitUntilWatching());
  EXPECT_TRUE(StatusShows("\"on_battery\":false"));

  StartUPower();
  SetPower("battery");
  ASSERT_TRUE(StatusShows("\"on_battery\":true"));
  std::string output;
  EXPECT_EQ(Trovix({"status"}, &output), 0);
  EXPECT_NE(output.find("Now: paused (on battery), "), std::string::npos) << output;
  const std::string unplugged = root_ + "/unplugged.txt";
  trovix::testing::WriteFile(unplugged, "written on battery heron");
  ASSERT_TRUE(WaitUntil([&] { return Backlog() >= 1; }, std::chrono::seconds(30),
                        std::chrono::milliseconds(50)));
  ASSERT_EQ(Trovix({"resume"}), 0);  // lifts nothing: the user had not paused
  EXPECT_TRUE(StatusShows("\"state\":\"paused\",\"paused\":false,\"on_battery\":true"));
  EXPECT_FALSE(Has(Search("heron"), unplugged));

  // Paused by the user too: mains alone does not resume.
  ASSERT_EQ(Trovix({"pause"}), 0);
  SetPower("mains");
  ASSERT_TRUE(StatusShows("\"state\":\"paused\",\"paused\":true,\"on_battery\":false"));
  EXPECT_FALSE(Has(Search("heron"), unplugged));
  ASSERT_EQ(Trovix({"resume"}), 0);
  EXPECT_TRUE(Eventually("heron", [&](const std::string& o) { return Has(o, unplugged); }));

  // With the setting off the battery does not pause.
  ASSERT_EQ(Trovix({"config", "set", "pause-on-battery", "0"}), 0);
  SetPower("battery");
  trovix::testing::WriteFile(root_ + "/still.txt", "still indexing ibis");
  EXPECT_TRUE(
      Eventually("ibis", [&](const std::string& o) { return Has(o, root_ + "/still.txt"); }));
  EXPECT_TRUE(StatusShows("\"on_battery\":false"));
  ASSERT_EQ(Trovix({"config", "reset", "pause-on-battery"}), 0);
  EXPECT_TRUE(StatusShows("\"on_battery\":true"));
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
