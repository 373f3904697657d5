// The task worker with the coalescing rule (change_coalescer.h): a busy
// file's changes wait in the held set and are applied once it is quiet,
// while other files, removals and the stop are not held up by it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "indexer/task_file.h"
#include "indexer/task_worker.h"
#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"

namespace trovix::indexer {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using trovix::testing::WaitUntil;

const WString kLog = u"/h/app.log.txt";
const WString kOther = u"/h/other.txt";

// A quiet period long enough that a loaded machine applies an unheld task
// well within it.
constexpr CoalescingRule kRule{.quiet = seconds(3), .busy_window = seconds(30)};

class TaskCoalescingTest : public ::testing::Test {
 protected:
  TaskCoalescingTest() {
    worker_ = std::make_unique<TaskWorker>(
        state_, TaskWorkerOptions{.task_file = file_,
                                  .apply = [this](const IndexTask& task) { return Apply(task); },
                                  .coalescing = kRule});
  }
  ~TaskCoalescingTest() override { Stop(); }

  ApplyOutcome Apply(const IndexTask& task) {
    const std::lock_guard lock(mutex_);
    applied_.push_back(task);
    return ApplyOutcome::kDone;
  }
  // How often a task of `path` and `kind` was applied.
  int Applied(const WString& path, DWORD kind) {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(applied_.begin(), applied_.end(), [&](const auto& t) {
      return t.path == path && t.kind == kind;
    }));
  }
  void Change(const WString& path, DWORD kind, bool writing = false) {
    state_.AddPending(IndexTask{path, kind, 0, writing});
  }
  bool Stop() {
    state_.running = 0;
    state_.list_event.Set();
    return worker_->WaitForEnd(5000);
  }
  // The file is applied once; from then on it is busy.
  void MakeBusy() {
    Change(kLog, kModified);
    ASSERT_TRUE(WaitUntil([&] { return Applied(kLog, kModified) == 1; }));
  }

  trovix::testing::PrivateTree tree_;
  std::string file_ = TaskListPath();
  IndexerState state_;
  std::mutex mutex_;
  std::vector<IndexTask> applied_;  // guarded by mutex_
  std::unique_ptr<TaskWorker> worker_;
};

TEST_F(TaskCoalescingTest, ABusyFileIsAppliedOnceItIsQuietAndOtherFilesDoNotWaitForIt) {
  worker_->Start();
  MakeBusy();
  for (int i = 0; i < 20; ++i) {
    Change(kLog, kModified);
    std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_TRUE(WaitUntil([&] { return worker_->settling() == 1; }));
  Change(kOther, kAdded);
  ASSERT_TRUE(WaitUntil([&] { return Applied(kOther, kAdded) == 1; }));
  EXPECT_EQ(worker_->settling(), 1u) << "the other file came in while the busy one waited";
  EXPECT_EQ(Applied(kLog, kModified), 1);

  EXPECT_TRUE(WaitUntil([&] { return Applied(kLog, kModified) == 2; }));
  EXPECT_EQ(worker_->settling(), 0u);
  EXPECT_EQ(worker_->applied(), 3u);
  EXPECT_TRUE(Stop());
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_EQ(Applied(kLog, kModified), 2) << "twenty changes, applied once after the first";
}

TEST_F(TaskCoalescingTest, ARemovalOfABusyFileIsNotHeldAndTakesTheHeldChangeAlong) {
  worker_->Start();
  MakeBusy();
  Change(kLog, kModified);
  ASSERT_TRUE(WaitUntil([&] { return worker_->settling() == 1; }));
  Change(kLog, kRemoved);
  ASSERT_TRUE(WaitUntil([&] { return Applied(kLog, kRemoved) == 1; }));
  EXPECT_EQ(worker_->settling(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return Applied(kLog, kModified) == 2; }))
      << "released with the removal, not after the quiet period";

  // A file renamed away likewise; its new name is a file of its own.
  const WString renamed = u"/h/renamed.log.txt";
  Change(kLog, kModified);
  ASSERT_TRUE(WaitUntil([&] { return worker_->settling() == 1; }));
  Change(kLog, kRenamedOldName);
  Change(renamed, kRenamedNewName);
  EXPECT_TRUE(WaitUntil([&] {
    return Applied(kLog, kRenamedOldName) == 1 && Applied(renamed, kRenamedNewName) == 1;
  }));
  EXPECT_EQ(worker_->settling(), 0u);
}

TEST_F(TaskCoalescingTest, HeldChangesAreSavedAtAStopAndAppliedAfterTheNextStart) {
  worker_->Start();
  MakeBusy();
  Change(kLog, kModified);
  Change(kOther, kAdded, /*writing=*/true);  // its writer is not done yet
  ASSERT_TRUE(WaitUntil([&] { return worker_->settling() == 2; }));
  ASSERT_TRUE(Stop());
  TaskSet saved;
  ASSERT_EQ(LoadTasks(file_, &saved), 2);
  EXPECT_EQ(saved.count(IndexTask{kLog, kModified}), 1u);
  EXPECT_EQ(saved.count(IndexTask{kOther, kAdded}), 1u);

  state_.running = 1;
  worker_ = std::make_unique<TaskWorker>(
      state_, TaskWorkerOptions{.task_file = file_,
                                .apply = [this](const IndexTask& task) { return Apply(task); },
                                .coalescing = kRule});
  worker_->Start();
  EXPECT_TRUE(WaitUntil([&] { return Applied(kLog, kModified) == 2; }))
      << "a loaded task is never held";
  EXPECT_TRUE(WaitUntil([&] { return Applied(kOther, kAdded) == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(file_); }));
}

TEST_F(TaskCoalescingTest, AFileStillBeingWrittenWaitsForItsClose) {
  worker_->Start();
  Change(kOther, kAdded, /*writing=*/true);
  Change(kOther, kModified, /*writing=*/true);
  ASSERT_TRUE(WaitUntil([&] { return worker_->settling() == 2; }));
  EXPECT_EQ(Applied(kOther, kAdded), 0);
  Change(kOther, kModified, /*writing=*/false);
  EXPECT_TRUE(WaitUntil([&] { return Applied(kOther, kAdded) == 1; }));
  EXPECT_EQ(Applied(kOther, kModified), 1);
  EXPECT_EQ(worker_->settling(), 0u);
}

}  // namespace
}  // namespace trovix::indexer
