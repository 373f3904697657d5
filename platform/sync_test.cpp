#include "platform/sync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"

namespace {

using namespace std::chrono_literals;
using trovix::testing::PrivateTree;

constexpr int kPatienceMs = 10000;  // bound on anything expected to happen "soon"

// A forked copy of this test process running `body`. Parent and child step
// each other along with single bytes over a pipe each way. The child leaves
// through _exit so that the fixture and gtest state it inherited are not torn
// down twice. Fork only while no other thread runs.
class Child {
 public:
  explicit Child(const std::function<int(Child&)>& body) {
    int down[2];
    int up[2];
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) std::abort();
    pid_ = fork();
    const bool in_child = pid_ == 0;
    close(in_child ? down[1] : down[0]);
    close(in_child ? up[0] : up[1]);
    in_ = in_child ? down[0] : up[0];
    out_ = in_child ? up[1] : down[1];
    if (in_child) _exit(body(*this));
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Join();
    }
    close(in_);
    close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Send(char step) { return write(out_, &step, 1) == 1; }
  // The next byte from the other side; 0 on time-out or when the other side
  // is gone. A negative `timeout_ms` waits for ever.
  char Receive(int timeout_ms = kPatienceMs) {
    pollfd ready{in_, POLLIN, 0};
    char step = 0;
    if (poll(&ready, 1, timeout_ms) != 1 || read(in_, &step, 1) != 1) return 0;
    return step;
  }
  void Kill() { kill(pid_, SIGKILL); }
  // Exit code, or 128 + signal number like a shell.
  int Join() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// A child that takes the mutex, reports 'h', holds it until told 'r', then
// releases it, reports 'u' and stays alive until told 'x'.
int HoldUntilTold(Child& self) {
  NamedMutex mutex("Shared");
  if (mutex.Wait() != WAIT_OBJECT_0 || !self.Send('h')) return 1;
  if (self.Receive(-1) != 'r' || !mutex.Release() || !self.Send('u')) return 2;
  return self.Receive(-1) == 'x' ? 0 : 3;
}

// Runs `wait` on another thread and checks it gives up with WAIT_TIMEOUT,
// no earlier than asked and not unreasonably late.
void ExpectTimesOut(const std::function<DWORD()>& wait, DWORD timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  auto result = std::async(std::launch::async, wait);
  ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kPatienceMs)), std::future_status::ready);
  EXPECT_EQ(result.get(), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeout_ms));
}

// Two threads take `first` and `second` (one object or two of one name) many
// times, one waiting without and one with a time-out; they must never be
// inside together.
template <typename Lock>
void ExpectExclusion(Lock& first, Lock& second) {
  constexpr int kRounds = 2000;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> failed_waits{0};
  int counter = 0;  // deliberately unsynchronised: the lock under test guards it
  auto worker = [&](Lock& lock, DWORD timeout_ms) {
    for (int i = 0; i < kRounds; ++i) {
      if (lock.Wait(timeout_ms) != WAIT_OBJECT_0) {
        ++failed_waits;
        continue;
      }
      if (inside.fetch_add(1) != 0) overlapped = true;
      ++counter;
      std::this_thread::yield();
      inside.fetch_sub(1);
      lock.Release();
    }
  };
  std::thread a(worker, std::ref(first), INFINITE);
  std::thread b(worker, std::ref(second), kPatienceMs);
  a.join();
  b.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(failed_waits, 0);
  EXPECT_EQ(counter, 2 * kRounds);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(NamedMutexTest, ExcludesAnotherProcessBothWays) {
  PrivateTree tree;
  Child child(HoldUntilTold);
  NamedMutex mutex("Shared");
  ASSERT_EQ(child.Receive(), 'h');
  EXPECT_EQ(mutex.Wait(100), WAIT_TIMEOUT);
  EXPECT_EQ(mutex.Wait(0), WAIT_TIMEOUT);
  ASSERT_TRUE(child.Send('r'));
  ASSERT_EQ(child.Receive(), 'u');
  ASSERT_EQ(mutex.Wait(kPatienceMs), WAIT_OBJECT_0);  // the child still runs

  Child contender([](Child&) {
    NamedMutex other("Shared");
    return other.Wait(50) == WAIT_TIMEOUT ? 0 : 1;
  });
  EXPECT_EQ(contender.Join(), 0);
  EXPECT_TRUE(mutex.Release());
  ASSERT_TRUE(child.Send('x'));
  EXPECT_EQ(child.Join(), 0);
}

TEST(NamedMutexTest, HolderKilledWhileHoldingReleasesIt) {
  PrivateTree tree;
  // Both ways of waiting: a blocking flock and the polling of a timed wait.
  for (const DWORD timeout_ms : {INFINITE, static_cast<DWORD>(kPatienceMs)}) {
    Child child([](Child& self) {
      NamedMutex mutex("Shared");
      if (mutex.Wait() != WAIT_OBJECT_0 || !self.Send('h')) return 1;
      self.Receive(-1);
      return 0;
    });
    ASSERT_EQ(child.Receive(), 'h');
    NamedMutex mutex("Shared");
    auto acquired = std::async(std::launch::async, [&] {
      const DWORD result = mutex.Wait(timeout_ms);
      if (result == WAIT_OBJECT_0) mutex.Release();
      return result;
    });
    EXPECT_EQ(acquired.wait_for(100ms), std::future_status::timeout);
    child.Kill();
    EXPECT_EQ(child.Join(), 128 + SIGKILL);
    if (acquired.wait_for(std::chrono::milliseconds(kPatienceMs)) != std::future_status::ready) {
      // A thread stuck in flock can be neither joined nor abandoned safely.
      ADD_FAILURE() << "the mutex of a killed holder was never released";
      std::abort();
    }
    EXPECT_EQ(acquired.get(), WAIT_OBJECT_0);
  }
}

TEST(NamedMutexTest, ReentrantForOwnerThreadOnly) {
  PrivateTree tree;
  NamedMutex mutex("Shared");
  auto from_other_thread = [&](auto call) { return std::async(std::launch::async, call).get(); };
  ASSERT_EQ(mutex.Wait(), WAIT_OBJECT_0);
  ASSERT_EQ(mutex.Wait(0), WAIT_OBJECT_0);
  EXPECT_FALSE(from_other_thread([&] { return mutex.Release(); }));
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(from_other_thread([&] { return mutex.Wait(20); }), WAIT_TIMEOUT);  // one level left
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());
  EXPECT_TRUE(from_other_thread([&] {
    const bool taken = mutex.Wait(kPatienceMs) == WAIT_OBJECT_0;
    return taken && mutex.Release();
  }));
}

TEST(NamedMutexTest, ThreadsNeverHoldItTogether) {
  PrivateTree tree;
  NamedMutex shared("Counter");
  ExpectExclusion(shared, shared);  // exclusion by the owner record
  NamedMutex first("Counter");
  NamedMutex second("Counter");
  ExpectExclusion(first, second);  // exclusion by flock alone
}

TEST(NamedMutexTest, TimedWaitsTimeOutEvenWhileAnotherThreadBlocksInFlock) {
  PrivateTree tree;
  Child child(HoldUntilTold);
  ASSERT_EQ(child.Receive(), 'h');
  NamedMutex mutex("Shared");
  ExpectTimesOut([&] { return mutex.Wait(30); }, 30);  // polling flock
  auto blocked = std::async(std::launch::async, [&] {
    const DWORD result = mutex.Wait();
    if (result == WAIT_OBJECT_0) mutex.Release();
    return result;
  });
  std::this_thread::sleep_for(50ms);  // let it reach flock; the check holds either way
  auto timed = std::async(std::launch::async, [&] { return mutex.Wait(30); });
  const bool returned =
      timed.wait_for(std::chrono::milliseconds(kPatienceMs)) == std::future_status::ready;
  ASSERT_TRUE(child.Send('r'));  // first, so that a failure below cannot hang
  EXPECT_TRUE(returned) << "a timed wait waited for the thread blocked in flock";
  EXPECT_EQ(timed.get(), WAIT_TIMEOUT);
  ASSERT_EQ(blocked.wait_for(std::chrono::milliseconds(kPatienceMs)), std::future_status::ready);
  EXPECT_EQ(blocked.get(), WAIT_OBJECT_0);
  ASSERT_TRUE(child.Send('x'));
  EXPECT_EQ(child.Join(), 0);
}

// The owner learns of a waiter of another process (blocked in flock, or
// polling in a timed wait) and of one of its own process, and of none once
// they have been served.
TEST(NamedMutexTest, OwnerSeesWhoWaitsUntilTheyAreServed) {
  PrivateTree tree;
  NamedMutex mutex("Shared");
  ASSERT_EQ(mutex.Wait(), WAIT_OBJECT_0);
  EXPECT_FALSE(mutex.OthersWaiting());
  for (const DWORD timeout_ms : {INFINITE, static_cast<DWORD>(kPatienceMs)}) {
    Child child([timeout_ms](Child& self) {
      NamedMutex other("Shared");
      if (other.Wait(timeout_ms) != WAIT_OBJECT_0 || !self.Send('h')) return 1;
      other.Release();
      return 0;
    });
    EXPECT_TRUE(trovix::testing::WaitUntil([&] { return mutex.OthersWaiting(); }));
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(child.Receive(), 'h');
    EXPECT_EQ(child.Join(), 0);
    ASSERT_EQ(mutex.Wait(kPatienceMs), WAIT_OBJECT_0);
    EXPECT_FALSE(mutex.OthersWaiting());
  }
  auto same_process = std::async(std::launch::async, [&] {
    const bool taken = mutex.Wait(kPatienceMs) == WAIT_OBJECT_0;
    return taken && mutex.Release();
  });
  EXPECT_TRUE(trovix::testing::WaitUntil([&] { return mutex.OthersWaiting(); }));
  EXPECT_TRUE(mutex.Release());
  EXPECT_TRUE(same_process.get());
  ASSERT_EQ(mutex.Wait(kPatienceMs), WAIT_OBJECT_0);
  EXPECT_FALSE(mutex.OthersWaiting());
  EXPECT_TRUE(mutex.Release());
}

TEST(NamedMutexTest, PrivateLockFileAndNoLeakedDescriptors) {
  PrivateTree tree;
  const std::string lock_file = tree.runtime() + "/Quillon/Private.lock";
  const int before = trovix::testing::OpenDescriptorCount();
  {
    NamedMutex mutex("Private");
    ASSERT_TRUE(mutex.valid()) << mutex.error();
    EXPECT_EQ(ModeOf(tree.runtime() + "/Quillon"), 0700u);
    EXPECT_EQ(ModeOf(lock_file), 0600u);
    ASSERT_EQ(mutex.Wait(), WAIT_OBJECT_0);  // destroyed while held
    NamedMutex again("Private");
    EXPECT_TRUE(again.valid());
  }
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), before);
  EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(lock_file));
  NamedMutex reopened("Private");
  EXPECT_EQ(reopened.Wait(0), WAIT_OBJECT_0);  // the destroyed holder let go
  EXPECT_TRUE(reopened.Release());
}

TEST(NamedMutexTest, InvalidNamesFailEveryWait) {
  PrivateTree tree;
  for (const char* name : {"", "../Escape", "a/b"}) {
    NamedMutex mutex(name);
    EXPECT_FALSE(mutex.valid()) << name;
    EXPECT_EQ(mutex.error(), EINVAL);
    EXPECT_EQ(mutex.Wait(0), WAIT_FAILED);
    EXPECT_FALSE(mutex.Release());
  }
}

// Collects what the namespace reports about refused folders.
std::vector<std::string>& Reports() {
  static std::vector<std::string> reports;
  return reports;
}
void CollectReport(const std::string& text) { Reports().push_back(text); }

class RuntimeNamespaceDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reports().clear();
    SetRuntimeFolderReporter(&CollectReport);
  }
  void TearDown() override { SetRuntimeFolderReporter(nullptr); }

  std::string Preferred() const { return tree_.runtime() + "/Quillon"; }
  std::string Fallback() const { return tree_.state() + "/Quillon/run"; }

  // The namespace moved to the fallback, which is private, shared by every
  // NamedMutex of the name, and the refusal was reported once.
  void ExpectFallback(const std::string& why) {
    EXPECT_EQ(RuntimeNamespaceDir(), Fallback()) << why;
    EXPECT_EQ(RuntimeNamespaceDir(), Fallback()) << why;
    EXPECT_EQ(ModeOf(Fallback()), 0700u);
    NamedMutex first("Shared");
    NamedMutex second("Shared");
    ASSERT_EQ(first.Wait(0), WAIT_OBJECT_0) << why;
    EXPECT_EQ(second.Wait(0), static_cast<DWORD>(WAIT_TIMEOUT)) << why;
    EXPECT_TRUE(first.Release());
    EXPECT_TRUE(std::filesystem::exists(Fallback() + "/Shared.lock")) << why;
    ASSERT_EQ(Reports().size(), 1u) << why;
    EXPECT_NE(Reports()[0].find(Preferred()), std::string::npos) << Reports()[0];
    EXPECT_NE(Reports()[0].find("using " + Fallback()), std::string::npos) << Reports()[0];
    Reports().clear();
  }

  PrivateTree tree_;
};

TEST_F(RuntimeNamespaceDirTest, NarrowsAReadableFolderOfOursToPrivate) {
  ASSERT_EQ(RuntimeNamespaceDir(), Preferred());
  ASSERT_EQ(chmod(Preferred().c_str(), 0755), 0);
  EXPECT_EQ(RuntimeNamespaceDir(), Preferred());
  EXPECT_EQ(ModeOf(Preferred()), 0700u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(RuntimeNamespaceDirTest, MovesToTheStateFolderFromLinksFilesAndFoldersOthersMayWrite) {
  ASSERT_EQ(mkdir(Preferred().c_str(), 0700), 0);
  ASSERT_EQ(chmod(Preferred().c_str(), 0777), 0);
  ExpectFallback("writable by others");
  EXPECT_EQ(ModeOf(Preferred()), 0777u) << "a refused folder is left alone";

  ASSERT_EQ(rmdir(Preferred().c_str()), 0);
  ASSERT_EQ(symlink(tree_.home().c_str(), Preferred().c_str()), 0);
  ExpectFallback("a link");
  EXPECT_FALSE(std::filesystem::exists(tree_.home() + "/Shared.lock"));

  ASSERT_EQ(unlink(Preferred().c_str()), 0);
  trovix::testing::WriteFile(Preferred(), "not a folder");
  ExpectFallback("a file");
}

TEST_F(RuntimeNamespaceDirTest, MovesToTheStateFolderFromAFolderOwnedByAnotherUser) {
  ASSERT_EQ(mkdir(Preferred().c_str(), 0700), 0);
  if (chown(Preferred().c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "giving a folder away needs root";
  }
  ExpectFallback("owned by another user");
}

TEST_F(RuntimeNamespaceDirTest, NoSafeFolderAtAllFailsEveryWaitAndSaysSo) {
  ASSERT_EQ(symlink(tree_.home().c_str(), Preferred().c_str()), 0);
  std::filesystem::create_directories(tree_.state() + "/Quillon");
  ASSERT_EQ(symlink(tree_.home().c_str(), Fallback().c_str()), 0);
  EXPECT_EQ(RuntimeNamespaceDir(), "");
  NamedMutex mutex("Shared");
  EXPECT_FALSE(mutex.valid());
  EXPECT_EQ(mutex.error(), ELOOP);
  EXPECT_EQ(mutex.Wait(0), WAIT_FAILED);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_NE(Reports()[0].find("no safe folder"), std::string::npos) << Reports()[0];
}

TEST(RuntimeTmpFolderTest, FallsBackToTmpWithoutAnAbsoluteRuntimeDir) {
  PrivateTree tree;  // restores XDG_RUNTIME_DIR afterwards
  // This one creates (and leaves) the real per-user /tmp folder: it may be
  // in use by other programs of the user.
  const std::string fallback = "/tmp/trovix-" + std::to_string(getuid());
  setenv("XDG_RUNTIME_DIR", "relative/run", 1);
  EXPECT_EQ(RuntimeNamespaceDir(), fallback);
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(RuntimeNamespaceDir(), fallback);
  EXPECT_EQ(ModeOf(fallback), 0700u);
}

TEST(MutexTest, ReentrantTimedAndOwnedByOneThread) {
  PrivateTree tree;
  Mutex mutex;
  ASSERT_EQ(mutex.Wait(), WAIT_OBJECT_0);
  ASSERT_EQ(mutex.Wait(0), WAIT_OBJECT_0);
  EXPECT_FALSE(std::async(std::launch::async, [&] { return mutex.Release(); }).get());
  EXPECT_TRUE(mutex.Release());
  ExpectTimesOut([&] { return mutex.Wait(30); }, 30);
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());

  Mutex contended;
  ExpectExclusion(contended, contended);
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
  PrivateTree tree;
  Event event(/*manual_reset=*/false, /*initially_set=*/false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.Wait(kPatienceMs) == WAIT_OBJECT_0) ++released;
  };
  std::thread a(waiter);
  std::thread b(waiter);
  event.Set();
  for (int i = 0; i < kPatienceMs && released == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // room for a second, wrong, release
  EXPECT_EQ(released, 1);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);  // both Sets were consumed

  // Sets in a row release as many waiters, not one: each Set is handed to a
  // waiter, not merged into a flag. (The pause lets the threads reach their
  // wait; one of them waiting already suffices for the check to hold.)
  constexpr int kWaiters = 4;
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) waiters.emplace_back(waiter);
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < kWaiters; ++i) event.Set();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released, 2 + kWaiters);

  event.Set();  // with nobody waiting it stays set for exactly one wait
  event.Set();
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  ExpectTimesOut([&] { return event.Wait(30); }, 30);
}

TEST(EventTest, ManualResetReleasesAllAndStaysSetUntilReset) {
  PrivateTree tree;
  Event event(/*manual_reset=*/true, /*initially_set=*/false);
  ExpectTimesOut([&] { return event.Wait(30); }, 30);
  auto waiter = [&] { return event.Wait(kPatienceMs); };
  auto a = std::async(std::launch::async, waiter);
  auto b = std::async(std::launch::async, waiter);
  event.Set();
  EXPECT_EQ(a.get(), WAIT_OBJECT_0);
  EXPECT_EQ(b.get(), WAIT_OBJECT_0);
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  event.Reset();
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);

  Event initially_set(/*manual_reset=*/true, /*initially_set=*/true);
  EXPECT_EQ(initially_set.Wait(0), WAIT_OBJECT_0);
}

}  // namespace
