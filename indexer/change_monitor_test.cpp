#include "indexer/change_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

namespace fs = std::filesystem;
using testing::WriteFile;

using Task = std::pair<std::string, DWORD>;  // relative path, kind

class ChangeMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tree_.home() + "/root";
    fs::create_directories(root_);
    state_.extensions.Insert(u".txt");
    state_.extensions.Insert(u".doc");
  }

  void StartMonitor() {
    monitor_ = std::make_unique<ChangeMonitor>(
        &state_, root_, [this] { ++rescans_; },
        [this](const std::string& line) {
          const std::lock_guard lock(log_mutex_);
          log_.push_back(line);
        });
    ASSERT_TRUE(monitor_->Start());
    ASSERT_TRUE(monitor_->WaitUntilWatching(20'000));
  }

  // The pending set, paths relative to the root.
  std::set<Task> Pending() {
    std::set<Task> tasks;
    EXPECT_EQ(state_.list_mutex.Wait(INFINITE), WAIT_OBJECT_0);
    for (const IndexTask& task : state_.pending) {
      const std::string path = Utf16ToUtf8(task.path);
      EXPECT_TRUE(path.starts_with(root_ + "/")) << path;
      tasks.emplace(path.substr(root_.size() + 1), task.kind);
    }
    state_.list_mutex.Release();
    return tasks;
  }
  void ClearPending() {
    ASSERT_EQ(state_.list_mutex.Wait(INFINITE), WAIT_OBJECT_0);
    state_.pending.clear();
    state_.list_mutex.Release();
  }

  // Polls until `done` holds, for up to 20 s.
  template <typename Done>
  bool Eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  // Makes `marker` and waits for its task: the changes before it are queued.
  // Tasks of every marker, earlier ones included, are left out.
  std::set<Task> PendingAfter(const std::string& marker) {
    WriteFile(At(marker), "m");
    EXPECT_TRUE(Eventually([&] { return Pending().contains({marker, 1}); })) << marker;
    std::set<Task> tasks = Pending();
    std::erase_if(tasks, [](const Task& t) { return t.first.starts_with("marker"); });
    return tasks;
  }
  bool Logged(const std::string& part) {
    const std::lock_guard lock(log_mutex_);
    return std::any_of(log_.begin(), log_.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }

  std::string At(const std::string& relative) const { return root_ + "/" + relative; }

  testing::PrivateTree tree_;
  std::string root_;
  IndexerState state_;
  std::atomic<int> rescans_{0};
  std::mutex log_mutex_;
  std::vector<std::string> log_;            // guarded by log_mutex_
  std::unique_ptr<ChangeMonitor> monitor_;  // last: its thread uses the members above
};

TEST_F(ChangeMonitorTest, ScriptedChangesQueueTasksForIndexableFilesOnly) {
  StartMonitor();
  const DWORD old_stamp = 7;
  ASSERT_EQ(state_.list_mutex.Wait(INFINITE), WAIT_OBJECT_0);
  state_.pending.insert(IndexTask{Utf8ToUtf16(At("kept.txt")), kModified, old_stamp});
  state_.list_mutex.Release();

  WriteFile(At("a.txt"), "1");
  WriteFile(At("a.txt"), "2");  // saved twice: still one Modified task
  fs::rename(At("a.txt"), At("b.txt"));
  WriteFile(At("B.TXT"), "same name but for case: another file");
  WriteFile(At("gone.Doc"), "x");  // extensions match without regard to case
  fs::remove(At("gone.Doc"));
  WriteFile(At("README"), "no extension");
  WriteFile(At("x.bin"), "not indexable");
  fs::create_directory(At("folder.txt"));  // a directory, whatever its name
  // The root + 275 units: past MAX_PATH, well within what the catalogue
  // holds. Its folder is new, so a write may come as its Added task alone.
  const std::string long_file = std::string(200, 'd') + "/" + std::string(70, 'f') + ".txt";
  fs::create_directory(At(std::string(200, 'd')));
  WriteFile(At(long_file), "x");
  WriteFile(At("kept.txt"), "an equal task is pending already");

  const std::set<Task> expected = {
      {"B.TXT", 1},    {"B.TXT", 3},    {"a.txt", 1},    {"a.txt", 3},
      {"a.txt", 4},    {"b.txt", 5},    {"gone.Doc", 1}, {"gone.Doc", 2},
      {"gone.Doc", 3}, {"kept.txt", 1}, {"kept.txt", 3},
  };
  std::set<Task> pending = PendingAfter("marker-end.txt");
  EXPECT_TRUE(pending.contains({long_file, 1}));
  pending.erase({long_file, 1});
  pending.erase({long_file, 3});
  EXPECT_EQ(pending, expected);
  ASSERT_EQ(state_.list_mutex.Wait(INFINITE), WAIT_OBJECT_0);
  const auto kept = state_.pending.find(IndexTask{Utf8ToUtf16(At("kept.txt")), kModified, 0});
  ASSERT_NE(kept, state_.pending.end());
  EXPECT_EQ(kept->time_stamp, old_stamp);
  state_.list_mutex.Release();
  EXPECT_EQ(rescans_, 0);
}

TEST_F(ChangeMonitorTest, FilesOfARenamedDirectoryMoveWithItAndLaterChangesUseTheNewPath) {
  fs::create_directories(At("proj/src"));
  WriteFile(At("proj/src/m.txt"), "m");
  WriteFile(At("proj/notes.doc"), "n");
  WriteFile(At("proj/build.o"), "o");
  StartMonitor();

  fs::rename(At("proj"), At("work"));
  // The folder's own "old name" task takes along anything catalogued below
  // the old path that the listing did not name.
  const std::set<Task> renamed = {{"proj/", 4},
                                  {"proj/notes.doc", 4},
                                  {"proj/src/m.txt", 4},
                                  {"work/notes.doc", 5},
                                  {"work/src/m.txt", 5}};
  EXPECT_EQ(PendingAfter("marker1.txt"), renamed);

  ClearPending();
  WriteFile(At("work/src/m.txt"), "changed");
  fs::create_directories(At("work/src/new/deeper"));
  WriteFile(At("work/src/new/deeper/made-at-once.txt"), "x");
  const std::set<Task> later = {{"work/src/m.txt", 3},
                                {"work/src/new/deeper/made-at-once.txt", 1},
                                {"work/src/new/deeper/made-at-once.txt", 3}};
  std::set<Task> seen = PendingAfter("marker2.txt");
  // The file may show up in the listing of its new directory only (then it
  // has no Modified task); the others must all be there.
  seen.insert({"work/src/new/deeper/made-at-once.txt", 3});
  EXPECT_EQ(seen, later);
}

TEST_F(ChangeMonitorTest, AFolderMovedOutOrRemovedQueuesATaskForItsWholeTree) {
  WriteFile(At("out/deep/y.txt"), "y");
  WriteFile(At("gone/x.txt"), "x");
  StartMonitor();
  fs::rename(At("out"), tree_.home() + "/elsewhere");
  fs::remove_all(At("gone"));
  // A move out of the tree names none of the folder's files: only the
  // folder's own task can take them out of the index.
  const std::set<Task> expected = {{"out/", 4}, {"gone/", 2}, {"gone/x.txt", 2}};
  EXPECT_EQ(PendingAfter("marker.txt"), expected);
}

// The test holds list_mutex, as a stuck task queue thread would, and floods
// the monitor with changes it cannot queue.
TEST_F(ChangeMonitorTest, LostChangesAreLoggedAndRequestARescan) {
  StartMonitor();
  ASSERT_EQ(state_.list_mutex.Wait(INFINITE), WAIT_OBJECT_0);
  const int a = open(At("a.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int b = open(At("b.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  for (int i = 0; i < 100'000; ++i) {
    ASSERT_EQ(write(i % 2 == 0 ? a : b, "x", 1), 1);
  }
  close(a);
  close(b);
  EXPECT_TRUE(Eventually([&] { return Logged("changes dropped (task list busy)"); }));
  std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
  int max_queued = 0;
  if (limit >> max_queued && max_queued < 50'000) {
    EXPECT_TRUE(Eventually([&] { return Logged("notification queue overflow"); }));
    EXPECT_GE(rescans_, 2);
  }
  EXPECT_GE(rescans_, 1);
  state_.list_mutex.Release();

  // The monitor goes on once the task list is free again.
  PendingAfter("after.txt");
}

TEST_F(ChangeMonitorTest, StopRequestRunningFlagAndMissingRootEndTheThread) {
  StartMonitor();
  while (state_.list_event.Wait(0) == WAIT_OBJECT_0) {
  }
  monitor_->RequestStop();
  EXPECT_TRUE(monitor_->WaitForExit(20'000));
  EXPECT_EQ(state_.list_event.Wait(0), WAIT_OBJECT_0);  // a last wake-up

  StartMonitor();
  state_.running = 0;
  EXPECT_TRUE(monitor_->WaitForExit(20'000));
  state_.running = 1;

  root_ = tree_.home() + "/missing";
  StartMonitor();  // watching_ is set when the thread gives up, too
  EXPECT_TRUE(monitor_->WaitForExit(20'000));
  EXPECT_TRUE(Logged("changes are not monitored"));
}

}  // namespace
}  // namespace trovix::indexer
