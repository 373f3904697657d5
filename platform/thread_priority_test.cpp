#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/testing/private_tree.h"

namespace {

using trovix::testing::PrivateTree;

int LevelOf(pid_t thread_id) {
  int level = 12345;
  EXPECT_EQ(GetThreadPriorityLevel(thread_id, &level), S_OK);
  return level;
}

TEST(ThreadPriorityTest, EachLevelReadsBackAndMovesBothWaysOnTheNamedThreadOnly) {
  PrivateTree tree;
  std::promise<pid_t> other_id;
  std::atomic<bool> release{false};
  std::thread other([&] {
    other_id.set_value(CurrentThreadId());
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const pid_t id = other_id.get_future().get();
  EXPECT_EQ(LevelOf(id), THREAD_PRIORITY_NORMAL) << "a fresh thread is normal";
  for (const int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_IDLE,
                          THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL}) {
    ASSERT_EQ(SetThreadPriorityLevel(id, level), S_OK) << level;
    EXPECT_EQ(LevelOf(id), level);
    EXPECT_EQ(LevelOf(0), THREAD_PRIORITY_NORMAL) << "the calling thread is untouched";
  }
  ASSERT_EQ(SetThreadPriorityLevel(0, THREAD_PRIORITY_IDLE), S_OK);
  EXPECT_EQ(LevelOf(CurrentThreadId()), THREAD_PRIORITY_IDLE);
  ASSERT_EQ(SetThreadPriorityLevel(0, THREAD_PRIORITY_NORMAL), S_OK);
  EXPECT_EQ(SetThreadPriorityLevel(id, -2), E_INVALIDARG) << "below-normal is no level here";
  EXPECT_EQ(LevelOf(id), THREAD_PRIORITY_ABOVE_NORMAL);
  release = true;
  other.join();
}

// Another account may not steer this process's threads: the change is refused
// and the level in force is still read back.
TEST(ThreadPriorityTest, RefusedChangeLeavesTheLevelInForce) {
  PrivateTree tree;
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  const pid_t target = CurrentThreadId();
  ASSERT_EQ(SetThreadPriorityLevel(target, THREAD_PRIORITY_IDLE), S_OK);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const HRESULT hr = SetThreadPriorityLevel(target, THREAD_PRIORITY_ABOVE_NORMAL);
    _exit(hr == HresultFromErrno(EPERM) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the change was not refused with EPERM";
  EXPECT_EQ(LevelOf(target), THREAD_PRIORITY_IDLE);
  ASSERT_EQ(SetThreadPriorityLevel(target, THREAD_PRIORITY_NORMAL), S_OK);
}

TEST(ThreadPriorityTest, IdleCpuSchedulingAppliesToTheCallingThreadOnly) {
  PrivateTree tree;
  int policy = -1;
  std::thread scanner([&] {
    EXPECT_EQ(EnterIdleCpuScheduling(), S_OK);
    policy = sched_getscheduler(0);
  });
  scanner.join();
  EXPECT_EQ(policy, SCHED_IDLE);
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
}

// Runs in a forked child: nice values only go up for an unprivileged process,
// and the test process must keep its own. Exit code 0 when all held.
int LowerPriorityChild() {
  std::atomic<bool> release{false};
  std::promise<pid_t> early_id;
  std::thread early([&] {
    early_id.set_value(CurrentThreadId());
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const pid_t early_tid = early_id.get_future().get();
  int failures = 0;
  if (LowerProcessCpuPriority(10) != S_OK) failures |= 1;
  if (getpriority(PRIO_PROCESS, 0) != 10) failures |= 2;
  if (getpriority(PRIO_PROCESS, static_cast<id_t>(early_tid)) != 10) failures |= 4;
  if (LowerProcessCpuPriority(5) != S_OK || getpriority(PRIO_PROCESS, 0) != 10) failures |= 8;
  int later = -100;
  std::thread([&] { later = getpriority(PRIO_PROCESS, 0); }).join();
  if (later != 10) failures |= 16;
  if (LowerProcessCpuPriority(20) != E_INVALIDARG || LowerProcessCpuPriority(-1) != E_INVALIDARG) {
    failures |= 32;
  }
  release = true;
  early.join();
  return failures;
}

TEST(ThreadPriorityTest, LowerProcessCpuPriorityReachesEveryThreadAndNeverRaises) {
  PrivateTree tree;
  const pid_t child = fork();
  if (child == 0) _exit(LowerPriorityChild());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failure bits, see LowerPriorityChild";
}

}  // namespace
