// The coalescing rule on its own, with made-up times: when a changed file is
// due, and what a writer that never stops costs in indexings.
#include "indexer/change_coalescer.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;
using Time = ChangeCoalescer::Time;

const WString kLog = u"/home/ann/app.log";
const Time kStart = Time{} + std::chrono::hours(100);

// The worker around the rule: a change makes a task, which the applier
// takes once it is due; indexing takes `cost`.
struct Simulation {
  ChangeCoalescer coalescer;
  bool task = false;
  int indexings = 0;
  Time last_indexing = Time::min();

  void Change(Time now) {
    coalescer.NoteChange(kLog, now, /*writing=*/false);
    task = true;
  }
  void Take(Time now, ChangeCoalescer::Duration cost = milliseconds(40)) {
    if (!task || !coalescer.Due(kLog, now)) return;
    task = false;
    coalescer.NoteIndexing(kLog, now);
    coalescer.NoteCost(kLog, cost);
    ++indexings;
    last_indexing = now;
  }
};

TEST(ChangeCoalescerTest, AFileChangedOnceIsDueAtOnceUnlessItsWriterIsStillAtIt) {
  ChangeCoalescer coalescer;
  coalescer.NoteChange(kLog, kStart, /*writing=*/false);
  EXPECT_TRUE(coalescer.Due(kLog, kStart));
  EXPECT_EQ(coalescer.tracked(), 0u) << "nothing to remember before the indexing";

  // Created or written to and not closed: due at the close, or once quiet.
  const WString copy = u"/home/ann/big.iso.txt";
  coalescer.NoteChange(copy, kStart, /*writing=*/true);
  coalescer.NoteChange(copy, kStart + seconds(2), /*writing=*/true);
  EXPECT_FALSE(coalescer.Due(copy, kStart + seconds(4)));
  EXPECT_EQ(coalescer.DueAt(copy), kStart + seconds(2) + milliseconds(2500));
  coalescer.NoteChange(copy, kStart + seconds(3), /*writing=*/false);
  EXPECT_TRUE(coalescer.Due(copy, kStart + seconds(3)));

  // Indexed, then changed again after the busy window: calm, due at once.
  coalescer.NoteIndexing(copy, kStart + seconds(3));
  EXPECT_TRUE(coalescer.Due(copy, kStart + seconds(3))) << "nothing waits";
  coalescer.NoteChange(copy, kStart + seconds(40), /*writing=*/false);
  EXPECT_TRUE(coalescer.Due(copy, kStart + seconds(40)));
}

TEST(ChangeCoalescerTest, ABusyFileWaitsForQuietAndACloseDoesNotShortenIt) {
  ChangeCoalescer coalescer;
  coalescer.NoteIndexing(kLog, kStart);
  // An appender reopens the file for every line: each change ends closed.
  for (int i = 1; i <= 10; ++i) {
    coalescer.NoteChange(kLog, kStart + milliseconds(100 * i), /*writing=*/false);
    EXPECT_FALSE(coalescer.Due(kLog, kStart + milliseconds(100 * i))) << i;
  }
  const Time last = kStart + seconds(1);
  EXPECT_FALSE(coalescer.Due(kLog, last + milliseconds(2499)));
  EXPECT_TRUE(coalescer.Due(kLog, last + milliseconds(2500)));

  // Forgetting it (removed, renamed away) releases what waited, and a file
  // made under the name later starts afresh.
  coalescer.NoteIndexing(kLog, last + seconds(3));
  coalescer.NoteChange(kLog, last + seconds(4), /*writing=*/false);
  ASSERT_FALSE(coalescer.Due(kLog, last + seconds(4)));
  coalescer.Forget(kLog);
  EXPECT_TRUE(coalescer.Due(kLog, last + seconds(4)));
  coalescer.NoteChange(kLog, last + seconds(5), /*writing=*/false);
  EXPECT_TRUE(coalescer.Due(kLog, last + seconds(5)));
}

TEST(ChangeCoalescerTest, AFileThatNeverGoesQuietIsIndexedEveryLongestWait) {
  ChangeCoalescer coalescer;
  coalescer.NoteIndexing(kLog, kStart);
  coalescer.NoteChange(kLog, kStart + seconds(1), /*writing=*/true);
  for (int i = 2; i < 200; ++i) {
    coalescer.NoteChange(kLog, kStart + seconds(i), /*writing=*/i % 2 == 0);
  }
  EXPECT_EQ(coalescer.DueAt(kLog), kStart + seconds(1) + minutes(2));
}

TEST(ChangeCoalescerTest, AnExpensiveFileTakesAtMostItsShareOfTheTime) {
  ChangeCoalescer coalescer;
  // Indexing it took 2 s: the next may start 40 s after this one began, even
  // once it is quiet, calm or overdue.
  coalescer.NoteIndexing(kLog, kStart);
  coalescer.NoteCost(kLog, seconds(2));
  coalescer.NoteChange(kLog, kStart + seconds(5), /*writing=*/false);
  EXPECT_EQ(coalescer.DueAt(kLog), kStart + seconds(40));
  coalescer.NoteIndexing(kLog, kStart + seconds(40));
  coalescer.NoteCost(kLog, seconds(10));
  coalescer.NoteChange(kLog, kStart + seconds(41), /*writing=*/true);
  EXPECT_EQ(coalescer.DueAt(kLog), kStart + seconds(240)) << "past the longest wait";

  // A custom rule is followed as given.
  ChangeCoalescer strict(CoalescingRule{.quiet = milliseconds(100),
                                        .busy_window = seconds(5),
                                        .longest_wait = seconds(1),
                                        .time_share = 2});
  strict.NoteIndexing(kLog, kStart);
  strict.NoteCost(kLog, milliseconds(300));
  strict.NoteChange(kLog, kStart + milliseconds(10), /*writing=*/false);
  EXPECT_EQ(strict.DueAt(kLog), kStart + milliseconds(600));
}

// The case that made the rule: a line appended every 0.1 s for a minute
// costs two indexings (the first line and the last), and the last line is
// indexed one quiet period after it was written.
TEST(ChangeCoalescerTest, AppendingEveryTenthOfASecondIsIndexedTwicePerMinuteOfAppends) {
  Simulation run;
  Time now = kStart;
  for (int line = 0; line < 600; ++line) {
    now = kStart + milliseconds(100 * line);
    run.Change(now);
    run.Take(now);
  }
  const Time last_line = now;
  for (; now < last_line + seconds(10); now += milliseconds(50)) run.Take(now);
  EXPECT_EQ(run.indexings, 2);
  EXPECT_GE(run.last_indexing, last_line + milliseconds(2500));
  EXPECT_LE(run.last_indexing, last_line + milliseconds(2550));

  // Ten minutes of it: the longest wait sets the pace.
  Simulation endless;
  for (int line = 0; line < 6000; ++line) {
    now = kStart + milliseconds(100 * line);
    endless.Change(now);
    endless.Take(now);
  }
  EXPECT_EQ(endless.indexings, 1 + 4) << "the first line, then once every two minutes";
}

TEST(ChangeCoalescerTest, AFullTableTracksNoNewFileUntilOldEntriesExpire) {
  ChangeCoalescer coalescer;
  auto path = [](std::size_t i) { return u"/h/f" + Utf8ToUtf16(std::to_string(i)) + u".txt"; };
  for (std::size_t i = 0; i < ChangeCoalescer::kMostTracked; ++i) {
    coalescer.NoteIndexing(path(i), kStart);
  }
  ASSERT_EQ(coalescer.tracked(), ChangeCoalescer::kMostTracked);
  // No room: an untracked file's changes are due at once, as without a rule.
  const WString late = u"/h/late.txt";
  coalescer.NoteIndexing(late, kStart + seconds(1));
  coalescer.NoteChange(late, kStart + seconds(2), /*writing=*/false);
  EXPECT_TRUE(coalescer.Due(late, kStart + seconds(2)));
  // A waiting entry is never dropped; the others go once their window passed.
  coalescer.NoteChange(path(0), kStart + seconds(10), /*writing=*/false);
  coalescer.NoteIndexing(late, kStart + seconds(31));
  EXPECT_EQ(coalescer.tracked(), 2u);
  EXPECT_FALSE(coalescer.Due(path(0), kStart + seconds(11)));
  coalescer.NoteChange(late, kStart + seconds(32), /*writing=*/false);
  EXPECT_FALSE(coalescer.Due(late, kStart + seconds(32))) << "tracked again: busy";
}

}  // namespace
}  // namespace trovix::indexer
