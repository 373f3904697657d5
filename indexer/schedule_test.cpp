// The scan schedule and its records, and the scanner thread walking a real
// folder tree into the real index store.
#include <sched.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "indexer/drive_scanner.h"
#include "indexer/kestine_settings.h"
#include "indexer/scan_schedule.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/file_info.h"
#include "platform/filetime.h"
#include "platform/reg_key.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace trovix::indexer {
namespace {

using namespace std::chrono_literals;

// Stands still at an instant until moved; its local time is UTC, so texts
// do not depend on the machine's time zone. Starts at 2024-03-05 07:08:09.
class FakeClock final : public Clock {
 public:
  FILETIME Now() const override { return Int64ToFileTime(now_); }
  std::tm ToLocal(FILETIME utc) const override {
    const std::time_t t = (FileTimeToInt64(utc) - kFileTimeUnixEpoch) / 10000000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
  }
  void Advance(std::int64_t units) { now_ += units; }

 private:
  std::atomic<std::int64_t> now_{1709622489LL * 10000000 + kFileTimeUnixEpoch};
};

bool Same(FILETIME a, FILETIME b) { return FileTimeToInt64(a) == FileTimeToInt64(b); }

constexpr std::int64_t kMinute = static_cast<std::int64_t>(kFileTimeMinute);
const KestineKey kGlobal = KestineKey::Global();

// Waits up to a minute for `done`, checking every 10 ms.
bool WaitFor(const std::function<bool()>& done) {
  return trovix::testing::WaitUntil(done, 60s, 10ms);
}

class ScheduleTest : public ::testing::Test {
 protected:
  // A clean walk of `root` that ended at `end`.
  void RecordCleanWalk(const std::string& root) {
    ScanRecorder record(root, clock_);
    record.Finish(/*walk_completed=*/true);
  }

  trovix::testing::PrivateTree tree_;
  FakeClock clock_;
};

TEST_F(ScheduleTest, ARootIsDueUntilAWalkCompletedWithinTheInterval) {
  const std::string root = "/data/archive";
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "never walked";
  const FILETIME end = clock_.Now();
  RecordCleanWalk(root);
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "no Scan Interval";
  kGlobal.Write(kestine::kScanInterval, 60);
  EXPECT_FALSE(IsDriveScanDue(root, clock_));
  clock_.Advance(60 * kMinute - 1);
  EXPECT_FALSE(IsDriveScanDue(root, clock_)) << "one unit before the deadline";
  clock_.Advance(1);
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "at the deadline";

  clock_.Advance(-60 * kMinute);
  EXPECT_FALSE(IsDriveScanDue(root + "/", clock_)) << "a trailing '/' names the same record";
  EXPECT_TRUE(IsDriveScanDue("/data", clock_)) << "each root has its own record";
  kGlobal.Write(kestine::kScanInterval, 0);
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "interval 0";
  kGlobal.Write(kestine::kScanInterval, 60);

  const KestineKey drive = KestineKey::ForRoot(root);
  drive.Write(kestine::kLastScanCompletion, FILETIME{0, 0});
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "completion time 0";
  drive.Write(kestine::kLastScanCompletion, FILETIME{0xFFFFFFFF, 0xFFFFFFFF});
  EXPECT_FALSE(IsDriveScanDue(root, clock_)) << "a deadline past the range saturates";
  drive.Write(kestine::kLastScanCompletion, end);
  drive.Write(kestine::kLastScanOutcome, 0);
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "the last walk was stopped";
  drive.Write(kestine::kLastScanOutcome, 1);
  drive.Write(DwordValue{u"Last Scan Completion"}, 5);
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "4 bytes are no completion time";
}

TEST_F(ScheduleTest, ARescanRequestMakesTheRootDueAndSpoilsAWalkThatRunsMeanwhile) {
  const std::string root = "/srv/share";
  kGlobal.Write(kestine::kScanInterval, 4320);
  RecordCleanWalk(root);
  ASSERT_FALSE(IsDriveScanDue(root, clock_));
  RequestRescan(root);
  EXPECT_TRUE(IsDriveScanDue(root, clock_));

  {
    ScanRecorder walk(root, clock_);
    RequestRescan(root + "/");  // the monitor lost events while the walk ran
    walk.Finish(/*walk_completed=*/true);
  }
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "the walk may have passed the changed part";
  RecordCleanWalk(root);
  EXPECT_FALSE(IsDriveScanDue(root, clock_)) << "a request is answered by one later walk";
  {
    ScanRecorder walk(root, clock_);
    walk.Finish(/*walk_completed=*/false);
  }
  EXPECT_TRUE(IsDriveScanDue(root, clock_)) << "a stopped walk";
}

TEST_F(ScheduleTest, WalkRecordsHoldTheTimesInTheirFormats) {
  const std::string root = "/home/ann";
  const KestineKey drive = KestineKey::ForRoot(root);
  EXPECT_EQ(drive.path(), WString(keys::kKestine) + u"\\/home/ann");
  ScanRecorder walk(root, clock_);
  EXPECT_EQ(drive.Read(kestine::kLastScanStartText), WString(u"Tue Mar 05 07:08:09 2024\n"));
  EXPECT_FALSE(drive.Read(kestine::kLastScanCompletion));
  clock_.Advance(90 * kMinute);
  walk.Finish(/*walk_completed=*/true);
  ASSERT_TRUE(drive.Read(kestine::kLastScanCompletion));
  EXPECT_TRUE(Same(*drive.Read(kestine::kLastScanCompletion), clock_.Now()));
  EXPECT_EQ(drive.Read(kestine::kLastScanOutcome), 1u);
  EXPECT_EQ(drive.Read(kestine::kLastScanCompletionText), WString(u"Tue Mar 05 08:38:09 2024\n"));

  // The root's key is one key whose name holds the '/'s, not a chain.
  RegKey key;
  EXPECT_EQ(RegKey::Open(HKEY_CURRENT_USER, WString(keys::kKestine) + u"\\/home", &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(KestineKey::ForRoot("/").path(), WString(keys::kKestine) + u"\\/");
  EXPECT_EQ(KestineKey::ForRoot("/home/ann//").path(), drive.path());
}

TEST_F(ScheduleTest, OnlyDueRootsOnFixedFileSystemsGetAScanner) {
  const auto type = [](const std::string& root) -> UINT {
    if (root.starts_with("/media")) return DRIVE_REMOVABLE;
    if (root.starts_with("/net")) return DRIVE_REMOTE;
    if (root.starts_with("/run")) return DRIVE_RAMDISK;
    if (root.starts_with("/cdrom")) return DRIVE_CDROM;
    if (root.starts_with("/gone")) return DRIVE_NO_ROOT_DIR;
    return DRIVE_FIXED;
  };
  kGlobal.Write(kestine::kScanInterval, 60);
  RecordCleanWalk("/home/done");
  const std::vector<std::string> roots = {"/media/usb", "/home/ann", "/net/nfs", "/run/tmp",
                                          "/home/done", "/cdrom",    "/gone",    "/srv"};
  // A root whose scan is not due gets a thread too: a rescan may be
  // requested for it later.
  EXPECT_EQ(RootsToScan(roots, type),
            (std::vector<std::string>{"/home/ann", "/home/done", "/srv"}));
  std::vector<std::string> many;
  for (int i = 0; i < 150; ++i) many.push_back("/r" + std::to_string(i));
  EXPECT_EQ(RootsToScan(many, type).size(), kMaxDriveScanners);
}

// The scanner thread against the real index store.
class ScannerTest : public ordalis::testing::OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    state_.extensions = IndexableExtensionSet::FromRegistry();
    params_.state = &state_;
    params_.scan_stop = &scan_stop_;
    params_.clock = &clock_;
    params_.poll_ms = 10;
    // At SCHED_IDLE the walk would crawl on a busy build machine.
    params_.idle_priority = false;
  }

  void TearDown() override {
    Stop();
    db_.reset();
    OrdalisTest::TearDown();
  }

  void Start(const std::string& root) {
    params_.root = root;
    thread_ = std::thread([this] { DriveScannerThread(params_); });
  }

  // Shuts down as the host does; answers how long the thread took to end.
  std::chrono::milliseconds Stop() {
    state_.running = 0;
    scan_stop_.Set();
    const auto begin = std::chrono::steady_clock::now();
    if (thread_.joinable()) thread_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
  }

  HRESULT Indexed(const std::string& path) { return db_->FileIndexed(Utf8ToUtf16(path).c_str()); }
  HRESULT Catalogued(const std::string& path) { return db_->FileInDB(Utf8ToUtf16(path).c_str()); }

  ComPtr<ITrovixDB> db_;
  IndexerState state_;
  Event scan_stop_{/*manual_reset=*/true, /*initially_set=*/false};
  FakeClock clock_;
  DriveScannerParams params_;
  std::thread thread_;
};

TEST_F(ScannerTest, AWalkIndexesTheRootsFilesRecordsItsEndAndRepeatsAfterTheInterval) {
  const std::string docs = tree_->home() + "/docs/";
  trovix::testing::WriteFile(docs + "a.txt", "alpha words");
  trovix::testing::WriteFile(docs + "B.TXT", "bravo words");
  trovix::testing::WriteFile(tree_->home() + "/.hidden/c.txt", "charlie words");
  trovix::testing::WriteFile(docs + "README", "no extension");
  trovix::testing::WriteFile(docs + "data.blob", "no registered type");
  ASSERT_EQ(mkfifo((docs + "pipe.txt").c_str(), 0600), 0);
  // The index store's own files lie inside the root: the database (made
  // indexable here) and the log.
  state_.extensions.Insert(u".mdb");
  const std::string log = tree_->state() + "/Quillon/trovlog.txt";
  trovix::testing::WriteFile(log, "a log line");
  kGlobal.Write(kestine::kScanInterval, 60);
  const KestineKey drive = KestineKey::ForRoot(tree_->root());

  Start(tree_->root());
  // The completion text is the walk's last record.
  ASSERT_TRUE(WaitFor([&] { return drive.Read(kestine::kLastScanCompletionText).has_value(); }));
  EXPECT_EQ(drive.Read(kestine::kLastScanOutcome), 1u);
  EXPECT_EQ(drive.Read(kestine::kLastScanStartText), WString(u"Tue Mar 05 07:08:09 2024\n"));
  EXPECT_TRUE(Same(*drive.Read(kestine::kLastScanCompletion), clock_.Now()));
  EXPECT_EQ(drive.Read(kestine::kLastScanCompletionText), WString(u"Tue Mar 05 07:08:09 2024\n"));
  EXPECT_EQ(Indexed(docs + "a.txt"), S_OK);
  EXPECT_EQ(Indexed(docs + "B.TXT"), S_OK);
  EXPECT_EQ(Indexed(tree_->home() + "/.hidden/c.txt"), S_OK);
  for (const std::string& skipped :
       {docs + "README", docs + "data.blob", docs + "pipe.txt", DatabasePath(), log}) {
    EXPECT_EQ(Catalogued(skipped), S_FALSE) << skipped;
  }

  // Not due again before the interval has passed; walked again after it.
  trovix::testing::WriteFile(docs + "later.txt", "delta words");
  clock_.Advance(59 * kMinute);
  // Nothing to wait for: the scanner checks every 10 ms, so 200 ms give it
  // some twenty chances to walk too early; a walk ends the wait at once.
  EXPECT_FALSE(
      trovix::testing::WaitUntil([&] { return Catalogued(docs + "later.txt") == S_OK; }, 200ms));
  clock_.Advance(2 * kMinute);
  ASSERT_TRUE(WaitFor([&] { return Indexed(docs + "later.txt") == S_OK; }));
  ASSERT_TRUE(
      WaitFor([&] { return Same(*drive.Read(kestine::kLastScanCompletion), clock_.Now()); }));
  EXPECT_LT(Stop(), 2s);
  EXPECT_EQ(drive.Read(kestine::kLastScanOutcome), 1u);
}

TEST_F(ScannerTest, SuppressStartupScanEndsTheThreadAtOnceAfterItTookIdlePriority) {
  kGlobal.Write(kestine::kSuppressStartupScan, 1);
  params_.root = tree_->home();
  params_.idle_priority = true;
  params_.poll_ms = 0;
  auto ended = std::async(std::launch::async, [this] {
    DriveScannerThread(params_);
    return sched_getscheduler(0);
  });
  ASSERT_EQ(ended.wait_for(10s), std::future_status::ready) << "the thread kept running";
  EXPECT_EQ(ended.get(), SCHED_IDLE);
  EXPECT_FALSE(KestineKey::ForRoot(tree_->home()).Read(kestine::kLastScanStartText));
  EXPECT_EQ(state_.running, 1u) << "suppression ends only the scanner";
}

TEST_F(ScannerTest, StoppingDuringAWalkEndsItPromptlyWithOutcomeZero) {
  // One file large enough that indexing it takes far longer than the stop.
  std::string text;
  for (int i = 0; text.size() < 40u << 20; ++i) text += "word" + std::to_string(i) + " ";
  trovix::testing::WriteFile(tree_->home() + "/big.txt", text);
  const KestineKey drive = KestineKey::ForRoot(tree_->home());

  Start(tree_->home());
  // The walk's start record is written before the first file is read; the
  // one file takes seconds to read and count, so the stop lands inside it.
  // (The file is catalogued only when its batch commits, at the walk's end.)
  ASSERT_TRUE(WaitFor([&] { return drive.Read(kestine::kLastScanStartText).has_value(); }));
  EXPECT_LT(Stop(), 3s);
  EXPECT_EQ(drive.Read(kestine::kLastScanOutcome), 0u);
  EXPECT_TRUE(drive.Read(kestine::kLastScanCompletion));
  EXPECT_TRUE(drive.Read(kestine::kLastScanCompletionText));
  kGlobal.Write(kestine::kScanInterval, 4320);
  EXPECT_TRUE(IsDriveScanDue(tree_->home(), clock_)) << "walked again at the next start";
}

}  // namespace
}  // namespace trovix::indexer
