// The task list: the backlog file's bytes and its damage, the two task sets,
// the worker's threads with a stand-in applier (order, priority, stop, crash),
// and the applier against the real index store.
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "indexer/task_batch.h"
#include "indexer/task_file.h"
#include "indexer/task_worker.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

using Clock = std::chrono::steady_clock;
using trovix::testing::PrivateTree;

IndexTask Task(const WString& path, DWORD kind, DWORD time_stamp = 0) {
  return IndexTask{path, kind, time_stamp};
}

bool WaitUntil(const std::function<bool()>& done, int limit_ms = 30000) {
  const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TaskSet Numbered(int count, const WString& folder = u"/home/ann/") {
  TaskSet tasks;
  for (int i = 0; i < count; ++i) {
    tasks.insert(Task(folder + Utf8ToUtf16(std::to_string(i)) + u".txt", kModified, 1000 + i));
  }
  return tasks;
}

bool SameTasks(const TaskSet& a, const TaskSet& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.path == y.path && x.kind == y.kind && x.time_stamp == y.time_stamp;
  });
}

// Shuts the worker's threads down the way the service does.
bool Stop(IndexerState& state, TaskWorker& worker, DWORD limit_ms) {
  state.running = 0;
  state.list_event.Set();
  return worker.WaitForEnd(limit_ms);
}

// Clears RunningFlag when a test ends early, before the worker's destructor
// waits for its threads, so that a failed assertion cannot hang the test.
struct StopOnExit {
  IndexerState& state;
  ~StopOnExit() {
    state.running = 0;
    state.list_event.Set();
  }
};

class TaskFileTest : public ::testing::Test {
 protected:
  std::vector<std::string> lines_;
  TaskFileLog log_ = [this](const std::string& line) { lines_.push_back(line); };
  PrivateTree tree_;
  std::string file_ = TaskListPath();
};

TEST_F(TaskFileTest, RecordLayoutMatchesTheGoldenBytes) {
  EXPECT_EQ(file_, tree_.state() + "/Quillon/tasklist.bin");
  std::string record;
  ASSERT_TRUE(
      EncodeTaskRecord(Task(u"/h/\u00e9\U0001D11E.t", kRenamedNewName, 0x01020304), &record));
  const unsigned char path[] = {'/',  0,    'h',  0,    '/', 0, 0xE9, 0x00,
                                0x34, 0xD8, 0x1E, 0xDD, '.', 0, 't',  0};
  const unsigned char kind[] = {'5', 0, ' ', 0, ' ', 0, ' ', 0, ' ', 0, ' ', 0, ' ', 0, ' ', 0};
  const unsigned char stamp[] = {0x04, 0x03, 0x02, 0x01};
  ASSERT_EQ(record.size(), 540u);
  EXPECT_EQ(record.substr(0, 16), std::string(path, path + 16));
  const std::string blank(" \0", 2);
  for (std::size_t i = 16; i < 520; i += 2) ASSERT_EQ(record.substr(i, 2), blank) << i;
  EXPECT_EQ(record.substr(520, 16), std::string(kind, kind + 16));
  EXPECT_EQ(record.substr(536), std::string(stamp, stamp + 4));

  // A path of the full 260 units fills the field and reads back whole; a
  // record never holds a path it would have to cut or trim.
  const WString longest = u"/" + WString(259, u'x');
  IndexTask back;
  std::string why;
  ASSERT_TRUE(EncodeTaskRecord(Task(longest, kAdded), &record));
  ASSERT_TRUE(DecodeTaskRecord(record, &back, &why)) << why;
  EXPECT_EQ(back.path, longest);
  EXPECT_FALSE(EncodeTaskRecord(Task(longest + u"y", kAdded), &record));
  EXPECT_FALSE(EncodeTaskRecord(Task(u"/a/b.txt ", kAdded), &record));
  EXPECT_FALSE(EncodeTaskRecord(Task(WString(u"/a\0b", 4), kAdded), &record));
  EXPECT_FALSE(EncodeTaskRecord(Task(u"/a/b.txt", 6), &record));
}

TEST_F(TaskFileTest, SaveReplacesTheFileWholeAndLoadLeavesItInPlace) {
  TaskSet tasks = Numbered(3);
  tasks.insert(Task(WString(u"/h/a\0b", 6), kAdded));  // not writable: logged, skipped
  ASSERT_EQ(SaveTasks(file_, tasks, log_), 3);
  EXPECT_EQ(lines_.size(), 1u);
  struct stat st {};
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 3 * 540);

  TaskSet loaded;
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 3);
  EXPECT_TRUE(SameTasks(loaded, Numbered(3)));
  EXPECT_TRUE(std::filesystem::exists(file_)) << "a crash after loading must not lose the backlog";

  ASSERT_EQ(SaveTasks(file_, Numbered(1), log_), 1);
  loaded.clear();
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 1);
  ASSERT_EQ(SaveTasks(file_, TaskSet(), log_), 0);
  EXPECT_FALSE(std::filesystem::exists(file_)) << "no backlog, no file";
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 0);
  EXPECT_TRUE(std::filesystem::is_empty(tree_.state() + "/Quillon"))
      << "no temporary file left behind";
}

TEST_F(TaskFileTest, DamagedRecordsAreSkippedAndLogged) {
  std::string good;
  ASSERT_TRUE(EncodeTaskRecord(Task(u"/h/good.txt", kRemoved, 7), &good));
  auto with_kind = [&good](const char* text) {
    std::string record = good;
    for (int i = 0; i < 8; ++i) record[520 + 2 * i] = text[i];
    return record;
  };
  std::string relative = good;
  relative[0] = 'h';
  std::string blank = good;
  for (std::size_t i = 0; i < 520; i += 2) blank[i] = ' ';
  std::string second;
  ASSERT_TRUE(EncodeTaskRecord(Task(u"/h/second.txt", kAdded, 9), &second));
  trovix::testing::WriteFile(file_, good + with_kind("x       ") + with_kind("7       ") +
                                        with_kind("3x      ") + std::string(540, '\0') + relative +
                                        blank + second + good.substr(0, 100));
  TaskSet loaded;
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 2);
  EXPECT_TRUE(
      SameTasks(loaded, {Task(u"/h/good.txt", kRemoved, 7), Task(u"/h/second.txt", kAdded, 9)}));
  EXPECT_EQ(lines_.size(), 7u) << "6 damaged records and the cut one";

  // Something else in the file's place is refused without hanging.
  std::filesystem::remove(file_);
  ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), -1);
}

TEST(TaskSetTest, MergingKeepsOneTaskPerPathAndKindInPathOrder) {
  TaskSet work = {Task(u"/h/a.txt", kModified, 1)};
  TaskSet pending = {Task(u"/h/a.txt", kModified, 5), Task(u"/h/A.TXT", kModified, 5),
                     Task(u"/h/a.txt", kRemoved, 5), Task(u"/h/a.txt", kAdded, 5)};
  MergeTasks(&pending, &work, 99);
  EXPECT_TRUE(pending.empty());
  EXPECT_TRUE(SameTasks(work, {Task(u"/h/A.TXT", kModified, 5), Task(u"/h/a.txt", kAdded, 5),
                               Task(u"/h/a.txt", kRemoved, 5), Task(u"/h/a.txt", kModified, 99)}))
      << "names differing in case are two files; a duplicate refreshes the time stamp";

  // The worker's test below covers idle and normal; here the gaps and the top.
  using P = ApplierPriority;
  EXPECT_EQ(NextApplierPriority(P::kIdle, 900000), P::kNormal) << "one step at a time";
  EXPECT_EQ(NextApplierPriority(P::kNormal, 5000), P::kNormal);
  EXPECT_EQ(NextApplierPriority(P::kNormal, 500001), P::kAboveNormal);
  EXPECT_EQ(NextApplierPriority(P::kAboveNormal, 500000), P::kAboveNormal);
  EXPECT_EQ(NextApplierPriority(P::kAboveNormal, 499999), P::kNormal);
}

// A stand-in applier that records what it is given and can be held.
struct FakeApplier {
  std::mutex mutex;
  std::vector<IndexTask> applied;  // guarded by mutex
  std::atomic<bool> hold{false};
  std::atomic<int> delay_ms{0};

  std::size_t count() {
    std::lock_guard lock(mutex);
    return applied.size();
  }
  // A task that a stop overtakes is reported interrupted, as IndexFile does.
  TaskApplier Fn(IndexerState& state) {
    return [this, &state](const IndexTask& task) {
      const auto until = Clock::now() + std::chrono::milliseconds(delay_ms.load());
      while (hold.load() || Clock::now() < until) {
        if (state.running.load() == 0) return ApplyOutcome::kInterrupted;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::lock_guard lock(mutex);
      applied.push_back(task);
      return ApplyOutcome::kDone;
    };
  }
};

TEST_F(TaskFileTest, WorkerAppliesInSetOrderAndSteersItsPriorityByTheBacklog) {
  IndexerState state;
  FakeApplier fake;
  fake.hold = true;
  std::mutex levels_mutex;
  std::vector<ApplierPriority> levels;
  TaskWorkerOptions options{.task_file = file_,
                            .apply = fake.Fn(state),
                            .set_priority =
                                [&](pid_t tid, ApplierPriority level) {
                                  EXPECT_NE(tid, gettid());
                                  std::lock_guard lock(levels_mutex);
                                  levels.push_back(level);
                                  return level;
                                },
                            .log = log_};
  TaskWorker worker(state, options);
  const StopOnExit stop_on_exit{state};
  const TaskSet all = Numbered(6000);
  for (const IndexTask& task : all) state.pending.insert(task);
  state.list_event.Set();
  worker.Start();
  auto levels_are = [&](std::vector<ApplierPriority> want) {
    return WaitUntil([&] {
      std::lock_guard lock(levels_mutex);
      return levels == want;
    });
  };
  using P = ApplierPriority;
  EXPECT_TRUE(levels_are({P::kIdle, P::kNormal}));
  fake.hold = false;
  ASSERT_TRUE(WaitUntil([&] { return fake.count() == all.size(); }));
  EXPECT_TRUE(std::equal(all.begin(), all.end(), fake.applied.begin(), fake.applied.end(),
                         [](const auto& a, const auto& b) { return a.path == b.path; }));
  state.AddPending(Task(u"/h/late.txt", kAdded));
  EXPECT_TRUE(levels_are({P::kIdle, P::kNormal, P::kIdle}));
  // Stopping before the late task is applied would rightly save it to the file.
  ASSERT_TRUE(WaitUntil([&] { return fake.count() == all.size() + 1; }));
  EXPECT_TRUE(Stop(state, worker, 2000));
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_TRUE(lines_.empty());
}

TEST_F(TaskFileTest, StopDuringABacklogSavesTheRestAndTheNextStartAppliesIt) {
  const TaskSet all = Numbered(2000);
  TaskSet unapplied;
  {
    IndexerState state;
    FakeApplier fake;
    fake.delay_ms = 2;
    TaskWorker worker(state, {.task_file = file_, .apply = fake.Fn(state), .log = log_});
    const StopOnExit stop_on_exit{state};
    for (const IndexTask& task : all) state.AddPending(task);
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return fake.count() >= 50; }));
    state.AddPending(Task(u"/h/last-change.txt", kModified));
    const auto stop = Clock::now();
    ASSERT_TRUE(Stop(state, worker, 2000));
    EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(1500));
    ASSERT_GT(LoadTasks(file_, &unapplied, log_), 0);
    EXPECT_EQ(unapplied.size() + fake.count(), all.size() + 1) << "none lost, none twice";
    for (const IndexTask& task : fake.applied) EXPECT_EQ(unapplied.count(task), 0u);
  }
  IndexerState state;
  FakeApplier fake;
  TaskWorker worker(state, {.task_file = file_, .apply = fake.Fn(state), .log = log_});
  const StopOnExit stop_on_exit{state};
  worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return fake.count() == unapplied.size(); }));
  EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(file_); }))
      << "the loaded backlog, all applied, is no longer kept";
  EXPECT_TRUE(Stop(state, worker, 2000));
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_TRUE(lines_.empty());
}

// Runs `child` in a forked process that this test then kills with SIGKILL
// once it wrote a byte to the pipe it is given (or after `delay`).
void KillChild(const std::function<void(int ready_fd)>& child, std::chrono::microseconds delay) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipe_fds[0]);
    child(pipe_fds[1]);
    _exit(0);
  }
  close(pipe_fds[1]);
  char byte = 0;
  pollfd ready{pipe_fds[0], POLLIN, 0};
  const bool waited =
      delay.count() != 0 || (poll(&ready, 1, 30000) == 1 && read(pipe_fds[0], &byte, 1) == 1);
  std::this_thread::sleep_for(delay);
  close(pipe_fds[0]);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(waited) << "the child never got there";
}

TEST_F(TaskFileTest, AKilledIndexerLosesNoSavedTask) {
  const TaskSet saved = Numbered(100);
  ASSERT_EQ(SaveTasks(file_, saved), 100);
  // Killed after loading, while applying the first task.
  KillChild(
      [this](int ready_fd) {
        IndexerState state;
        TaskWorker worker(state, {.task_file = file_, .apply = [ready_fd](const IndexTask&) {
                                    static_cast<void>(write(ready_fd, "x", 1));
                                    for (;;) pause();
                                    return ApplyOutcome::kDone;
                                  }});
        worker.Start();
        for (;;) pause();
      },
      {});
  TaskSet loaded;
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 100);
  EXPECT_TRUE(SameTasks(loaded, saved));

  // Killed while saving: the file holds one whole backlog or the other.
  const TaskSet other = Numbered(3000, u"/home/bob/");
  std::mt19937 random(7);
  for (int round = 0; round < 6; ++round) {
    KillChild(
        [&](int) {
          for (;;) {
            static_cast<void>(SaveTasks(file_, other));
            static_cast<void>(SaveTasks(file_, saved));
          }
        },
        std::chrono::microseconds(2000 + random() % 30000));
    loaded.clear();
    ASSERT_GT(LoadTasks(file_, &loaded, log_), 0);
    EXPECT_TRUE(SameTasks(loaded, saved) || SameTasks(loaded, other)) << round;
  }
  EXPECT_TRUE(lines_.empty());
}

TEST_F(TaskFileTest, WithoutAnIndexStoreTheApplierStopsAndKeepsTheTasks) {
  IndexerState state;  // no module registered in this tree: no object can be made
  std::atomic<int> reported{0};
  TaskWorker worker(
      state, {.task_file = file_, .log = log_, .on_no_index_store = [&reported] { ++reported; }});
  const StopOnExit stop_on_exit{state};
  state.AddPending(Task(u"/h/a.txt", kAdded));
  state.AddPending(Task(u"/h/b.txt", kRemoved));
  worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return reported.load() == 1; }));
  ASSERT_TRUE(Stop(state, worker, 2000));
  TaskSet loaded;
  EXPECT_EQ(LoadTasks(file_, &loaded, log_), 2);
  EXPECT_EQ(reported.load(), 1);
}

class TaskApplyTest : public ordalis::testing::OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    state_.extensions = IndexableExtensionSet::FromRegistry();
    folder_ = tree_->home() + "/docs/";
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    db_.reset();
    OrdalisTest::TearDown();
  }

  ApplyOutcome Apply(const std::string& name, DWORD kind) {
    return ApplyTask(Task(Utf8ToUtf16(folder_ + name), kind), state_);
  }
  HRESULT InDb(const std::string& name) {
    return db_->FileInDB(Utf8ToUtf16(folder_ + name).c_str());
  }
  HRESULT Indexed(const std::string& name) {
    return db_->FileIndexed(Utf8ToUtf16(folder_ + name).c_str());
  }
  INT Id(const std::string& name) {
    INT id = 0;
    EXPECT_EQ(db_->GetFileID(Utf8ToUtf16(folder_ + name).c_str(), &id), S_OK);
    return id;
  }
  // A number straight from the database, for file `id` (and word `word`):
  // the index store itself finds words only through a catalogued file.
  long Query(const char* sql, INT id, const char* word = nullptr) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long number = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
      sqlite3_bind_int(stmt, 1, id);
      if (word != nullptr) sqlite3_bind_text(stmt, 2, word, -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW) number = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return number;
  }
  // Rows of the file's text words (`word`, or any), in the word index and
  // in the term index.
  long WordRows(INT id, const char* word = nullptr) {
    return Query(
        "SELECT (SELECT count(*) FROM FilesWords, Words WHERE FilesWords.WordID = Words.ID AND "
        "FileID = ?1 AND (?2 IS NULL OR Words.Word = ?2)) + (SELECT count(*) FROM FileTerms, "
        "Terms WHERE FileTerms.TermID = Terms.TermID AND FileID = ?1 AND FileTerms.Freq >= 2 "
        "AND (?2 IS NULL OR Terms.Term = ?2))",
        id, word);
  }

  IndexerState state_;
  ComPtr<ITrovixDB> db_;
  std::string folder_;
};

TEST_F(TaskApplyTest, EachKindReachesTheIndexStore) {
  trovix::testing::WriteFile(folder_ + "a.txt", "alpha words");
  EXPECT_EQ(Apply("a.txt", kAdded), ApplyOutcome::kDone);
  EXPECT_EQ(Indexed("a.txt"), S_OK);
  // Same size and time as before: a reported change is applied all the same.
  struct stat before {};
  ASSERT_EQ(stat((folder_ + "a.txt").c_str(), &before), 0);
  trovix::testing::WriteFile(folder_ + "a.txt", "gamma words, longer");
  const timeval same[2] = {{before.st_atime, 0}, {before.st_mtime, 0}};
  ASSERT_EQ(utimes((folder_ + "a.txt").c_str(), same), 0);
  const INT a_id = Id("a.txt");
  EXPECT_EQ(Apply("a.txt", kModified), ApplyOutcome::kDone);
  EXPECT_EQ(WordRows(a_id, "alpha"), 0) << "the old words are gone";
  EXPECT_EQ(WordRows(a_id, "gamma"), 1);
  EXPECT_EQ(Query("SELECT SizeLo32 FROM Files WHERE FileID = ?1", a_id), 19) << "entry updated";

  // A rename: the old name leaves the index with its words, the new one comes in.
  std::filesystem::rename(folder_ + "a.txt", folder_ + "b.txt");
  EXPECT_EQ(Apply("a.txt", kRenamedOldName), ApplyOutcome::kDone);
  EXPECT_EQ(InDb("a.txt"), S_FALSE);
  EXPECT_EQ(WordRows(a_id), 0) << "no words left behind without their file";
  EXPECT_EQ(Apply("b.txt", kRenamedNewName), ApplyOutcome::kDone);
  EXPECT_EQ(Indexed("b.txt"), S_OK);

  // Names differing in case are two files.
  EXPECT_EQ(Apply("B.TXT", kRemoved), ApplyOutcome::kDone);
  EXPECT_EQ(Indexed("b.txt"), S_OK);
  // Saved through a temporary file: a "Removed" finds the file there again.
  trovix::testing::WriteFile(folder_ + "B.TXT", "upper case twin");
  EXPECT_EQ(Apply("B.TXT", kRemoved), ApplyOutcome::kDone);
  EXPECT_EQ(Indexed("B.TXT"), S_OK);
  std::filesystem::remove(folder_ + "b.txt");
  EXPECT_EQ(Apply("b.txt", kRemoved), ApplyOutcome::kDone);
  EXPECT_EQ(InDb("b.txt"), S_FALSE);
  EXPECT_EQ(Apply("b.txt", kAdded), ApplyOutcome::kSkipped) << "made and removed before applied";
}

TEST_F(TaskApplyTest, WhatIsNotAnOrdinaryIndexableFileIsLeftAlone) {
  std::filesystem::create_directories(folder_ + "dir.txt");
  trovix::testing::WriteFile(folder_ + "data.blob", "unknown type");
  trovix::testing::WriteFile(tree_->root() + "/outside.txt", "linked");
  ASSERT_EQ(symlink((tree_->root() + "/outside.txt").c_str(), (folder_ + "link.txt").c_str()), 0);
  for (const char* name : {"dir.txt", "data.blob", "link.txt", "missing.txt"}) {
    EXPECT_EQ(Apply(name, kAdded), ApplyOutcome::kSkipped) << name;
    EXPECT_EQ(InDb(name), S_FALSE) << name;
  }
  EXPECT_EQ(Apply("dir.txt", kRemoved), ApplyOutcome::kSkipped);
  trovix::testing::WriteFile(folder_ + "c.txt", "words");
  EXPECT_EQ(Apply("c.txt", 9), ApplyOutcome::kSkipped);
  // The index store's own files: the log is a .txt file.
  const std::string log = tree_->state() + "/Quillon/trovlog.txt";
  if (!std::filesystem::exists(log)) trovix::testing::WriteFile(log, "log words");
  EXPECT_EQ(ApplyTask(Task(Utf8ToUtf16(log), kModified), state_), ApplyOutcome::kSkipped);
  EXPECT_EQ(db_->FileInDB(Utf8ToUtf16(log).c_str()), S_FALSE);
  EXPECT_EQ(ApplyTask(Task(Utf8ToUtf16(DatabasePath()), kRemoved), state_), ApplyOutcome::kSkipped);
}

TEST_F(TaskApplyTest, AFolderThatLeftTheTreeTakesItsFilesAndAFileBecomingAFolderItsEntry) {
  for (const char* name : {"sub/a.txt", "sub/deep/b.txt", "sub_x/c.txt", "x.txt"}) {
    trovix::testing::WriteFile(folder_ + name, std::string("words of ") + name);
    ASSERT_EQ(Apply(name, kAdded), ApplyOutcome::kDone) << name;
  }
  const INT b_id = Id("sub/deep/b.txt");
  std::filesystem::rename(folder_ + "sub", tree_->root() + "/moved-out");
  EXPECT_EQ(Apply("sub/", kRenamedOldName), ApplyOutcome::kDone);
  EXPECT_EQ(InDb("sub/a.txt"), S_FALSE);
  EXPECT_EQ(InDb("sub/deep/b.txt"), S_FALSE);
  EXPECT_EQ(WordRows(b_id), 0) << "no words are left without their file";
  EXPECT_EQ(InDb("sub_x/c.txt"), S_OK) << "a folder whose name begins alike is another folder";
  EXPECT_EQ(Apply("sub_x/", kAdded), ApplyOutcome::kSkipped) << "folders are never stored";

  std::filesystem::remove(folder_ + "x.txt");
  std::filesystem::create_directories(folder_ + "x.txt");
  EXPECT_EQ(Apply("x.txt", kRemoved), ApplyOutcome::kDone);
  EXPECT_EQ(InDb("x.txt"), S_FALSE);
}

TEST_F(TaskApplyTest, ADatabaseThatFailsAsksForAnotherAttemptAndStopsTheWorkers) {
  trovix::testing::WriteFile(folder_ + "a.txt", "alpha");
  // The database goes missing: the process cannot open it again.
  ASSERT_EQ(db_->Cleanup(), S_OK);
  const std::string away = DatabasePath() + ".away";
  std::filesystem::rename(DatabasePath(), away);
  EXPECT_EQ(Apply("a.txt", kAdded), ApplyOutcome::kRetry);
  EXPECT_FALSE(state_.health.available());
  EXPECT_EQ(state_.health.failure(), E_UNEXPECTED);
  std::filesystem::rename(away, DatabasePath());
  ASSERT_EQ(db_->Init(), S_OK);
  state_.health.MarkAvailable();
  EXPECT_EQ(Apply("a.txt", kAdded), ApplyOutcome::kDone);
  EXPECT_EQ(Indexed("a.txt"), S_OK);
}

// The tasks of the first test above and of the folder test, applied as one
// group: each ends as it ends alone, and the index holds the same.
TEST_F(TaskApplyTest, AGroupOfTasksEndsAsTheTasksAppliedOneByOne) {
  for (const char* name : {"gone.txt", "back.txt", "twin.txt", "sub/a.txt", "sub/deep/b.txt"}) {
    trovix::testing::WriteFile(folder_ + name, std::string("old words of ") + name);
    ASSERT_EQ(Apply(name, kAdded), ApplyOutcome::kDone) << name;
  }
  const INT gone_id = Id("gone.txt");
  std::filesystem::remove(folder_ + "gone.txt");
  trovix::testing::WriteFile(folder_ + "back.txt", "saved again through a temporary name");
  trovix::testing::WriteFile(folder_ + "new.txt", "fresh words");
  trovix::testing::WriteFile(folder_ + "data.blob", "unknown type");
  std::filesystem::rename(folder_ + "sub", tree_->root() + "/moved-out");
  std::filesystem::create_directories(folder_ + "dir.txt");
  const std::vector<std::pair<std::string, DWORD>> named = {
      {"gone.txt", kRemoved},    {"back.txt", kRemoved},
      {"twin.txt", kAdded},      {"twin.txt", kModified},
      {"new.txt", kAdded},       {"data.blob", kAdded},
      {"sub/", kRenamedOldName}, {"dir.txt", kRemoved},
      {"missing.txt", kAdded},   {"new.txt", 9}};
  std::vector<IndexTask> group;
  for (const auto& [name, kind] : named) group.push_back(Task(Utf8ToUtf16(folder_ + name), kind));
  const std::vector<ApplyOutcome> outcomes = ApplyTaskBatch(group, state_);
  using enum ApplyOutcome;
  EXPECT_EQ(outcomes, (std::vector<ApplyOutcome>{kDone, kDone, kDone, kDone, kDone, kSkipped, kDone,
                                                 kSkipped, kSkipped, kSkipped}));
  EXPECT_EQ(InDb("gone.txt"), S_FALSE);
  EXPECT_EQ(WordRows(gone_id), 0) << "no words left behind without their file";
  EXPECT_EQ(WordRows(Id("back.txt"), "temporary"), 1) << "the file saved again is indexed anew";
  EXPECT_EQ(WordRows(Id("back.txt"), "old"), 0);
  EXPECT_EQ(Indexed("twin.txt"), S_OK);
  EXPECT_EQ(Indexed("new.txt"), S_OK);
  EXPECT_EQ(InDb("data.blob"), S_FALSE);
  EXPECT_EQ(InDb("sub/a.txt"), S_FALSE);
  EXPECT_EQ(InDb("sub/deep/b.txt"), S_FALSE);
  UINT indexed = 0;
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 3u);
}

TEST_F(TaskApplyTest, AGroupMeetingAFailedDatabaseIsAppliedAgainWhole) {
  trovix::testing::WriteFile(folder_ + "a.txt", "alpha");
  trovix::testing::WriteFile(folder_ + "b.txt", "beta");
  const std::vector<IndexTask> group = {Task(Utf8ToUtf16(folder_ + "a.txt"), kAdded),
                                        Task(Utf8ToUtf16(folder_ + "b.txt"), kRemoved)};
  ASSERT_EQ(db_->Cleanup(), S_OK);
  const std::string away = DatabasePath() + ".away";
  std::filesystem::rename(DatabasePath(), away);
  EXPECT_EQ(ApplyTaskBatch(group, state_),
            (std::vector<ApplyOutcome>{ApplyOutcome::kRetry, ApplyOutcome::kRetry}));
  EXPECT_FALSE(state_.health.available());
  std::filesystem::rename(away, DatabasePath());
  ASSERT_EQ(db_->Init(), S_OK);
  state_.health.MarkAvailable();
  EXPECT_EQ(ApplyTaskBatch(group, state_),
            (std::vector<ApplyOutcome>{ApplyOutcome::kDone, ApplyOutcome::kDone}));
  EXPECT_EQ(Indexed("a.txt"), S_OK);
  EXPECT_EQ(Indexed("b.txt"), S_OK);
}

TEST_F(TaskApplyTest, StopDuringARealBacklogAndFinishAfterTheNextStart) {
  const std::string file = TaskListPath();
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) {
    names.push_back("f" + std::to_string(i) + ".txt");
    trovix::testing::WriteFile(folder_ + names.back(), "words of file number " + names.back());
  }
  std::vector<std::string> in_order = names;  // the order the applier takes them in
  std::sort(in_order.begin(), in_order.end());
  {
    TaskWorker worker(state_, {.task_file = file});
    const StopOnExit stop_on_exit{state_};
    for (const std::string& name : names)
      state_.AddPending(Task(Utf8ToUtf16(folder_ + name), kAdded));
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] { return InDb(in_order[20]) == S_OK; }));
    const auto stop = Clock::now();
    ASSERT_TRUE(Stop(state_, worker, 3000));
    EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(2000));
  }
  TaskSet saved;
  ASSERT_GT(LoadTasks(file, &saved), 0);
  for (const std::string& name : names) {
    if (saved.count(Task(Utf8ToUtf16(folder_ + name), kAdded)) == 0) {
      EXPECT_EQ(Indexed(name), S_OK) << name << " neither applied nor saved";
    }
  }
  state_.running = 1;
  TaskWorker worker(state_, {.task_file = file});
  const StopOnExit stop_on_exit{state_};
  worker.Start();
  EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(file); }));
  EXPECT_TRUE(Stop(state_, worker, 3000));
  for (const std::string& name : names) EXPECT_EQ(Indexed(name), S_OK) << name;
}

}  // namespace
}  // namespace trovix::indexer
