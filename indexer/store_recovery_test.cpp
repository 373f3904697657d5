// The indexer survives a database that fails, goes missing or is damaged,
// and a stop that was not clean: workers wait instead of spinning, the user
// is told once, a new database is made when the old one cannot serve, and
// every root is walked again when changes may have been lost.
#include "indexer/store_recovery.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "indexer/indexer_service.h"
#include "indexer/kestine_settings.h"
#include "indexer/run_marker.h"
#include "indexer/scan_schedule.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"
#include "shared/database_repair.h"

namespace trovix::indexer {
namespace {

using namespace std::chrono_literals;
using trovix::testing::WaitUntil;

// Messages told to the user, in order.
class Told {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

bool Healthy(const std::string& path) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
  sqlite3_stmt* stmt = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
       sqlite3_step(stmt) == SQLITE_ROW &&
       std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) == "ok";
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return ok;
}

class StoreRecoveryTest : public ordalis::testing::OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    state_.report = told_.Sink();
    params_.state = &state_;
    params_.database = DatabasePath();
    params_.roots = {"/r1", "/r2"};
    params_.examine = [](const std::string& path) {
      DatabaseCheck check;
      static_cast<void>(CheckDatabase(path, &check));
      return check.condition;
    };
    params_.recreate = [](const std::string& path, std::string* kept) {
      return MoveAsideAndRecreate(path, kept);
    };
    params_.request_rescan = [this](const std::string&) { ++rescans_; };
    params_.check_interval = 20ms;
    params_.first_backoff = 50ms;
    // Long enough that no "works again" message joins the ones a test counts.
    params_.calm = 10min;
  }
  void TearDown() override {
    StopThread();
    db_.reset();
    OrdalisTest::TearDown();
  }

  void StartThread() {
    thread_ = std::thread([this] { StoreRecoveryThread(params_); });
  }
  void StopThread() {
    state_.health.Stop();
    if (thread_.joinable()) thread_.join();
  }
  // Catalogues a new file through a fresh object, as a worker would.
  HRESULT AddNewFile(const std::string& name) {
    const std::string path = tree_->home() + "/" + name;
    trovix::testing::WriteFile(path, "some words");
    return Create()->AddFile(Utf8ToUtf16(path).c_str());
  }
  std::vector<std::string> Aside() const {
    std::vector<std::string> kept;
    const auto folder = std::filesystem::path(DatabasePath()).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string().find("damaged") != std::string::npos) {
        kept.push_back(entry.path().string());
      }
    }
    return kept;
  }

  ComPtr<ITrovixDB> db_;
  IndexerState state_;
  Told told_;
  StoreRecoveryParams params_;
  std::atomic<int> rescans_{0};
  std::thread thread_;
};

TEST_F(StoreRecoveryTest, ADatabaseDeletedUnderTheIndexerIsNoticedAndMadeAnew) {
  StartThread();
  ASSERT_EQ(AddNewFile("before.txt"), S_OK);
  ASSERT_EQ(unlink(DatabasePath().c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return rescans_ == 2 && state_.health.available(); }))
      << ::testing::PrintToString(told_.lines());
  EXPECT_TRUE(Healthy(DatabasePath()));
  ASSERT_EQ(AddNewFile("after.txt"), S_OK) << "the process writes the new file";
  EXPECT_EQ(Create()->FileInDB(Utf8ToUtf16(tree_->home() + "/before.txt").c_str()), S_FALSE);
  const auto lines = told_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("cannot be used"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("was missing"), std::string::npos) << lines[1];
}

TEST_F(StoreRecoveryTest, ADamagedDatabaseIsKeptAsideAndReplaced) {
  StartThread();
  ASSERT_EQ(db_->Cleanup(), S_OK);
  {
    // Scramble the header: the file is no database any more.
    FILE* file = std::fopen(DatabasePath().c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    const std::string junk(4096, '\x5a');
    std::fwrite(junk.data(), 1, junk.size(), file);
    std::fclose(file);
  }
  static_cast<void>(state_.health.ReportFailure(static_cast<HRESULT>(0x8004601A)));  // not a db
  ASSERT_TRUE(WaitUntil([&] { return rescans_ == 2 && state_.health.available(); }));
  EXPECT_TRUE(Healthy(DatabasePath()));
  ASSERT_EQ(Aside().size(), 1u) << "the damaged file is kept, never deleted";
  EXPECT_EQ(AddNewFile("after.txt"), S_OK);
  const auto lines = told_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(Aside()[0]), std::string::npos) << lines[1];
}

TEST_F(StoreRecoveryTest, AFailureOutsideTheFileIsRetriedWithBackOffAndToldOnce) {
  std::atomic<int> examined{0};
  params_.calm = 300ms;
  params_.examine = [&](const std::string&) {
    ++examined;
    return DatabaseCondition::kHealthy;
  };
  StartThread();
  // A worker that fails again at once whenever the store is said to work
  // (a disk that stays full).
  std::atomic<bool> failing{true};
  std::thread worker([&] {
    while (failing) {
      if (state_.health.WaitUntilAvailable(50ms)) {
        static_cast<void>(state_.health.ReportFailure(static_cast<HRESULT>(0x8004600D)));
      }
    }
  });
  std::this_thread::sleep_for(1s);
  failing = false;
  worker.join();
  // 0, 50, 100, 200, 400 ms of back-off fit into one second: no tight loop.
  EXPECT_GE(examined.load(), 2);
  EXPECT_LE(examined.load(), 7);
  EXPECT_EQ(told_.lines().size(), 1u) << "one series, told once";
  EXPECT_EQ(rescans_, 0) << "the file was sound: nothing to walk again";
  ASSERT_TRUE(WaitUntil([&] { return told_.lines().size() == 2; }));
  EXPECT_NE(told_.lines()[1].find("works again"), std::string::npos);
}

// The service end to end: a marker left by a killed run makes every root due
// and is replaced; a clean stop removes it; a backlog that cannot be saved
// keeps it for the next start.
class RunMarkerTest : public StoreRecoveryTest {
 protected:
  ServiceOptions Options() {
    ServiceOptions options;
    options.roots = {root_};
    options.task_file = tree_->state() + "/Quillon/tasklist.bin";
    options.run_marker = marker_;
    options.report = told_.Sink();
    return options;
  }
  void SetUp() override {
    StoreRecoveryTest::SetUp();
    root_ = tree_->home() + "/root";
    std::filesystem::create_directories(root_);
    marker_ = tree_->state() + "/Quillon/kestine.running";
    KestineKey::Global().Write(kestine::kSuppressStartupScan, 1);
    KestineKey::Global().Write(kestine::kScanInterval, 4320);
    ScanRecorder(root_, SystemClock()).Finish(/*walk_completed=*/true);
  }
  std::string root_;
  std::string marker_;
};

TEST_F(RunMarkerTest, AKilledRunMakesEveryRootDueAndACleanStopRemovesTheMarker) {
  {
    IndexerService service(Options());
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(RunMarkerExists(marker_));
    EXPECT_FALSE(IsDriveScanDue(root_, SystemClock())) << "a clean history: nothing due";
    service.Stop();
  }
  EXPECT_FALSE(RunMarkerExists(marker_));

  ASSERT_EQ(CreateRunMarker(marker_), 0);  // as a kill -9 leaves it
  trovix::testing::WriteFile(root_ + "/a.txt", "alpha");
  {
    IndexerService service(Options());
    ASSERT_TRUE(service.Start());
    // Suppressed startup walks notwithstanding, the root is walked.
    ASSERT_TRUE(WaitUntil([&] {
      return Create()->FileIndexed(Utf8ToUtf16(root_ + "/a.txt").c_str()) == S_OK &&
             !IsDriveScanDue(root_, SystemClock());
    }));
    service.Stop();
  }
  EXPECT_FALSE(RunMarkerExists(marker_));
  bool told = false;
  for (const std::string& line : told_.lines())
    told |= line.find("did not stop cleanly") != std::string::npos;
  EXPECT_TRUE(told);
}

TEST_F(RunMarkerTest, ABacklogThatCannotBeSavedKeepsTheMarker) {
  ServiceOptions options = Options();
  // The backlog's folder is a file: the save fails as on a full disk.
  trovix::testing::WriteFile(tree_->root() + "/not-a-folder", "");
  options.task_file = tree_->root() + "/not-a-folder/tasklist.bin";
  IndexerService service(options);
  ASSERT_TRUE(service.Start());
  // Paused, the indexer keeps the change in its backlog until the stop,
  // which then cannot write it. (Waiting for a long file to be interrupted
  // raced with its indexing, which can finish first.)
  service.SetPaused(true);
  const std::string file = root_ + "/waiting.txt";
  trovix::testing::WriteFile(file, "waiting");
  service.state().AddPending(IndexTask{Utf8ToUtf16(file), kAdded, 0});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  service.Stop();
  EXPECT_TRUE(RunMarkerExists(marker_)) << "the next start must walk the roots";
}

}  // namespace
}  // namespace trovix::indexer
