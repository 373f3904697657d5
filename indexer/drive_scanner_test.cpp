// The scanner keeps the index equal to the disk: a complete walk takes what
// is gone out of the index, a failing database is recorded and retried, and
// an unclean stop brings a walk even when startup walks are suppressed.
#include "indexer/drive_scanner.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "indexer/kestine_settings.h"
#include "indexer/scan_schedule.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

using namespace std::chrono_literals;
using trovix::testing::WaitUntil;
using trovix::testing::WriteFile;

class ScannerPruneTest : public ordalis::testing::OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    state_.extensions = IndexableExtensionSet::FromRegistry();
    root_ = tree_->home() + "/root";
    std::filesystem::create_directories(root_);
    params_.state = &state_;
    params_.scan_stop = &scan_stop_;
    params_.root = root_;
    params_.poll_ms = 10;
    params_.retry_ms = 50;
    params_.idle_priority = false;  // at SCHED_IDLE a busy build machine starves the walk
    KestineKey::Global().Write(kestine::kScanInterval, 4320);
  }

  void TearDown() override {
    Stop();
    db_.reset();
    OrdalisTest::TearDown();
  }

  void Start() {
    thread_ = std::thread([this] { DriveScannerThread(params_); });
  }
  void Stop() {
    state_.running = 0;
    state_.health.Stop();
    scan_stop_.Set();
    if (thread_.joinable()) thread_.join();
  }

  std::optional<DWORD> Outcome() const {
    return KestineKey::ForRoot(root_).Read(kestine::kLastScanOutcome);
  }
  // Waits for the walk that a rescan request (or the first start) asked for.
  bool WalkCompleted() {
    return WaitUntil([&] { return Outcome() == kestine::kScanCompleted; });
  }
  HRESULT Catalogued(const std::string& path) { return db_->FileInDB(Utf8ToUtf16(path).c_str()); }

  ComPtr<ITrovixDB> db_;
  IndexerState state_;
  Event scan_stop_{/*manual_reset=*/true, /*initially_set=*/false};
  DriveScannerParams params_;
  std::string root_;
  std::thread thread_;
};

TEST_F(ScannerPruneTest, ACompleteWalkTakesWhatIsGoneOutOfTheIndex) {
  const std::string outside = tree_->home() + "/outside";
  std::filesystem::create_directories(outside);
  for (const char* name : {"/kept.txt", "/deleted.txt", "/becomes-folder.txt", "/moved/a.txt",
                           "/moved/deep/b.txt", "/removed/c.txt"}) {
    WriteFile(root_ + name, std::string("words of ") + name);
  }
  WriteFile(tree_->home() + "/root_sibling/d.txt", "a folder whose name extends the root's");
  ASSERT_EQ(db_->AddFile(Utf8ToUtf16(tree_->home() + "/root_sibling/d.txt").c_str()), S_OK);
  Start();
  ASSERT_TRUE(WalkCompleted());
  ASSERT_EQ(Catalogued(root_ + "/moved/deep/b.txt"), S_OK);

  std::filesystem::remove(root_ + "/deleted.txt");
  std::filesystem::remove(root_ + "/becomes-folder.txt");
  std::filesystem::create_directories(root_ + "/becomes-folder.txt");
  std::filesystem::rename(root_ + "/moved", outside + "/moved");
  std::filesystem::remove_all(root_ + "/removed");
  RequestRescan(root_);
  ASSERT_TRUE(WalkCompleted());

  EXPECT_EQ(Catalogued(root_ + "/kept.txt"), S_OK);
  for (const char* gone : {"/deleted.txt", "/becomes-folder.txt", "/moved/a.txt",
                           "/moved/deep/b.txt", "/removed/c.txt"}) {
    EXPECT_EQ(Catalogued(root_ + gone), S_FALSE) << gone;
  }
  EXPECT_EQ(Catalogued(tree_->home() + "/root_sibling/d.txt"), S_OK) << "outside the root";
  UINT indexed = 0;
  ASSERT_EQ(db_->RequeryStatistics(), S_OK);
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 1u) << "no words are left without their file";
}

TEST_F(ScannerPruneTest, AMissingRootIsNeverPrunedToNothing) {
  WriteFile(root_ + "/a.txt", "alpha");
  Start();
  ASSERT_TRUE(WalkCompleted());
  const std::string away = tree_->home() + "/unmounted";
  std::filesystem::rename(root_, away);
  RequestRescan(root_);
  ASSERT_TRUE(WalkCompleted());
  EXPECT_EQ(Catalogued(root_ + "/a.txt"), S_OK)
      << "an unmounted or vanished root keeps its part of the index";
}

TEST_F(ScannerPruneTest, AFailingDatabaseIsRecordedAndTheWalkRetriedOnceItWorks) {
  WriteFile(root_ + "/a.txt", "alpha");
  // The database goes missing: every store call of the process fails.
  ASSERT_EQ(db_->Cleanup(), S_OK);
  const std::string away = DatabasePath() + ".away";
  std::filesystem::rename(DatabasePath(), away);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Outcome() == kestine::kScanFailed; }));
  const auto why = KestineKey::ForRoot(root_).Read(kestine::kLastScanFailureText);
  ASSERT_TRUE(why.has_value());
  EXPECT_NE(Utf16ToUtf8(*why).find("E_UNEXPECTED"), std::string::npos) << Utf16ToUtf8(*why);
  EXPECT_FALSE(state_.health.available());
  // While the store is unavailable no walk is tried: the outcome stays.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Outcome(), kestine::kScanFailed);

  std::filesystem::rename(away, DatabasePath());
  ASSERT_EQ(db_->Init(), S_OK);
  state_.health.MarkAvailable();
  ASSERT_TRUE(WalkCompleted());
  EXPECT_EQ(Catalogued(root_ + "/a.txt"), S_OK);
  EXPECT_FALSE(KestineKey::ForRoot(root_).Read(kestine::kLastScanFailureText).has_value());
}

TEST_F(ScannerPruneTest, AnUncleanStopBringsAWalkEvenWhenStartupWalksAreSuppressed) {
  WriteFile(root_ + "/a.txt", "alpha");
  KestineKey::Global().Write(kestine::kSuppressStartupScan, 1);
  RequestRescan(root_);
  params_.recover = true;
  params_.poll_ms = 60000;  // the recovery walk must not wait for a check
  auto ended = std::async(std::launch::async, [this] { return DriveScannerThread(params_); });
  ASSERT_EQ(ended.wait_for(30s), std::future_status::ready) << "one walk, then the thread ends";
  EXPECT_EQ(Outcome(), kestine::kScanCompleted);
  EXPECT_EQ(Catalogued(root_ + "/a.txt"), S_OK);
}

TEST(ScanRetryDelay, DoublesFromTheFirstPauseUpToTenMinutes) {
  EXPECT_EQ(ScanRetryDelayMs(1, 20000), 20000u);
  EXPECT_EQ(ScanRetryDelayMs(2, 20000), 40000u);
  EXPECT_EQ(ScanRetryDelayMs(5, 20000), 320000u);
  EXPECT_EQ(ScanRetryDelayMs(6, 20000), 600000u);
  EXPECT_EQ(ScanRetryDelayMs(1000, 20000), 600000u);
}

}  // namespace
}  // namespace trovix::indexer
