// The compaction decision and the compaction thread against the real index
// store.
#include "indexer/compaction_scheduler.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "indexer/kestine_settings.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "shared/messages.h"

namespace trovix::indexer {
namespace {

using namespace std::chrono_literals;

constexpr UINT kMiB = 1u << 20;

// Stands still at a chosen UTC hour of 2024-03-05; local time is UTC.
class HourClock final : public Clock {
 public:
  explicit HourClock(int hour) : hour_(hour) {}
  FILETIME Now() const override {
    const std::int64_t seconds = 1709596800 + hour_ * 3600;  // 2024-03-05 00:00:00 UTC
    return Int64ToFileTime(seconds * 10000000 + kFileTimeUnixEpoch);
  }
  std::tm ToLocal(FILETIME utc) const override {
    const std::time_t t = (FileTimeToInt64(utc) - kFileTimeUnixEpoch) / 10000000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
  }
  void set_hour(int hour) { hour_ = hour; }

 private:
  std::atomic<int> hour_;
};

TEST(CompactionDueTest, TheConditionsHoldInTheirOrderWithNightAndDayThresholds) {
  const CompactionThresholds defaults{kestine::kDefaultNighttimeDelta,
                                      kestine::kDefaultDaytimeDelta};
  const UINT base = 300 * kMiB;
  struct Case {
    UINT space_free;
    UINT size;
    UINT baseline;
    int hour;
    bool due;
    const char* why;
  };
  const Case cases[] = {
      {150 * kMiB, base, base, 3, true, "night: reclaimable above the night threshold"},
      {150 * kMiB, base, base, 15, false, "day: the same space is not enough"},
      {100 * kMiB, base, base, 3, false, "exactly the night threshold is not above it"},
      {150 * kMiB, base, base, 1, false, "01:59 is not night"},
      {150 * kMiB, base, base, 4, true, "04:59 is night"},
      {150 * kMiB, base, base, 5, false, "05:00 is day"},
      {600 * kMiB, base, base, 15, true, "reclaimable above the day threshold, any hour"},
      {1 * kMiB, base + 501 * kMiB, base, 15, true, "grown above the day threshold, any hour"},
      {1 * kMiB, base + 500 * kMiB, base, 15, false, "grown exactly by the day threshold"},
      {1 * kMiB, base + 150 * kMiB, base, 2, true, "grown above the night threshold at night"},
      {1 * kMiB, base + 150 * kMiB, base, 12, false, "the same growth by day"},
      {65537, 0x79C00000, 0x79C00000, 12, true, "a large database, a little reclaimable"},
      {65536, 0x79C00000, 0x79C00000, 12, false, "a large database, 64 KiB reclaimable"},
      {65537, 0x79BFFFFF, 0x79BFFFFF, 12, false, "just below the large size"},
      {1000, 0xF0000001, 0xF0000000, 12, false, "baseline + threshold must not wrap"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompactionDue({c.space_free, c.size, c.baseline}, defaults, c.hour), c.due) << c.why;
  }
}

class CompactionTest : public ordalis::testing::OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
  }
  void TearDown() override {
    db_.reset();
    OrdalisTest::TearDown();
  }

  // Indexes and removes files, leaving space a compaction can reclaim.
  void MakeReclaimableSpace() {
    UINT keep_going = 1;
    for (int file = 0; file < 45; ++file) {
      std::string text;
      for (int word = 0; word < 2000; ++word)
        text += "w" + std::to_string(file * 2000 + word) + " ";
      const std::string path = tree_->home() + "/f" + std::to_string(file) + ".txt";
      trovix::testing::WriteFile(path, text);
      const WString wide = Utf8ToUtf16(path);
      ASSERT_EQ(db_->AddFile(wide.c_str()), S_OK);
      ASSERT_EQ(db_->IndexFile(wide.c_str(), &keep_going, nullptr), S_OK);
      ASSERT_EQ(db_->DeleteFileHard(wide.c_str()), S_OK);
    }
  }

  UINT SpaceFree() {
    UINT space = 0;
    EXPECT_EQ(db_->GetCompactionSpaceFree(&space), S_OK);
    return space;
  }
  UINT Size() {
    UINT size = 0;
    EXPECT_EQ(db_->GetDBFileSize(&size), S_OK);
    return size;
  }

  // Records every notification with the reclaimable space at that moment,
  // which tells whether it came before or after the compaction.
  NotifyPanelsFn Recorder() {
    return [this](UINT message) {
      UINT space = 0;
      static_cast<void>(db_->GetCompactionSpaceFree(&space));
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(message);
      space_at_notice_.push_back(space);
    };
  }
  std::vector<UINT> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

  const KestineKey global_ = KestineKey::Global();
  ComPtr<ITrovixDB> db_;
  std::atomic<unsigned> running_{1};
  std::mutex mutex_;
  std::vector<UINT> messages_;         // guarded by mutex_
  std::vector<UINT> space_at_notice_;  // guarded by mutex_
};

TEST_F(CompactionTest, AMissingThresholdIsWrittenWithItsDefaultAndAUsersValueIsKept) {
  global_.Write(kestine::kNighttimeDelta, 5);
  HourClock clock(12);
  CompactionScheduler scheduler(running_, nullptr, clock);
  ASSERT_TRUE(scheduler.LoadThresholds());
  EXPECT_EQ(scheduler.thresholds().night, 5u);
  EXPECT_EQ(scheduler.thresholds().day, 524288000u);
  EXPECT_EQ(global_.Read(kestine::kNighttimeDelta), 5u);
  EXPECT_EQ(global_.Read(kestine::kDaytimeDelta), 524288000u);
}

TEST_F(CompactionTest, ANightPassCompactsTheRealDatabaseBetweenBeginAndEndAndRecordsIt) {
  MakeReclaimableSpace();
  const UINT space_before = SpaceFree();
  ASSERT_GT(space_before, 64u * 1024);
  global_.Write(kestine::kNighttimeDelta, space_before - 1);
  global_.Write(kestine::kDaytimeDelta, 0xFFFFFFFF);
  HourClock clock(15);
  CompactionScheduler scheduler(running_, Recorder(), clock, /*pause_ms=*/50);
  ASSERT_TRUE(scheduler.LoadThresholds());

  EXPECT_EQ(scheduler.RunPass(db_.get()), PassResult::kNotDue) << "day";
  EXPECT_EQ(global_.Read(kestine::kLastSizeAtEnd), Size()) << "the baseline, learned once";
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(global_.Read(kestine::kLastSizeAtStart));

  clock.set_hour(3);
  const UINT size_before = Size();
  EXPECT_EQ(scheduler.RunPass(db_.get()), PassResult::kCompacted);
  EXPECT_EQ(Messages(), (std::vector<UINT>{WM_COMPACTION_BEGIN, WM_COMPACTION_END}));
  EXPECT_EQ(space_at_notice_[0], space_before) << "BEGIN comes before the compaction";
  EXPECT_LT(space_at_notice_[1], space_before / 4) << "END after it, with the space reclaimed";
  EXPECT_EQ(global_.Read(kestine::kLastSizeAtStart), size_before);
  EXPECT_EQ(global_.Read(kestine::kLastSizeAtEnd), Size());
  EXPECT_EQ(global_.Read(kestine::kLastCompactionCompleted), "Tue Mar  5 03:00:00 2024")
      << "the C locale's long form";

  // The new baseline is the size after compaction: no growth, little space.
  EXPECT_EQ(scheduler.RunPass(db_.get()), PassResult::kNotDue);
  EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(CompactionTest, StoppingDuringThePauseCompactsNothingButStillSendsEnd) {
  global_.Write(kestine::kNighttimeDelta, 0);
  HourClock clock(3);
  const NotifyPanelsFn record = Recorder();
  const auto stop_on_begin = [&](UINT message) {
    record(message);
    if (message == WM_COMPACTION_BEGIN) running_ = 0;
  };
  CompactionScheduler scheduler(running_, stop_on_begin, clock, /*pause_ms=*/20000);
  ASSERT_TRUE(scheduler.LoadThresholds());
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(scheduler.RunPass(db_.get()), PassResult::kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(Messages(), (std::vector<UINT>{WM_COMPACTION_BEGIN, WM_COMPACTION_END}));
  EXPECT_FALSE(global_.Read(kestine::kLastSizeAtStart));
  EXPECT_FALSE(global_.Read(kestine::kLastCompactionCompleted));
}

TEST_F(CompactionTest, TheThreadPassesAfterEachWaitAndEndsPromptlyWhenStopped) {
  Event wake(/*manual_reset=*/false, /*initially_set=*/false);
  HourClock clock(3);
  CompactionThreadParams params;
  params.running = &running_;
  params.wake = &wake;
  params.notify = Recorder();
  params.clock = &clock;
  params.pause_ms = 10;

  // Stopped in its first wait: no pass at all, though one would compact.
  global_.Write(kestine::kNighttimeDelta, 0);
  params.wait_ms = 60000;
  std::thread first([&] { CompactionThread(params); });
  std::this_thread::sleep_for(100ms);
  running_ = 0;
  wake.Set();
  auto begin = std::chrono::steady_clock::now();
  first.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(global_.Read(kestine::kDaytimeDelta)) << "written at the thread's start";

  // With short waits it compacts, and a stop signalled meanwhile ends it.
  running_ = 1;
  params.wait_ms = 10;
  std::thread second([&] { CompactionThread(params); });
  ASSERT_TRUE([&] {
    for (int i = 0; i < 3000 && Messages().size() < 2; ++i) std::this_thread::sleep_for(10ms);
    return Messages().size() >= 2;
  }());
  running_ = 0;
  wake.Set();
  begin = std::chrono::steady_clock::now();
  second.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s) << "at most the compaction under way";
  const std::vector<UINT> messages = Messages();
  EXPECT_EQ(messages.size() % 2, 0u) << "every BEGIN has its END";
  EXPECT_TRUE(global_.Read(kestine::kLastCompactionCompleted));
}

}  // namespace
}  // namespace trovix::indexer
