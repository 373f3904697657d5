// The index stamp against a real SQLite database in WAL mode, written the way
// the index store writes it: commits, checkpoints, a file put in its place.
#include "panel/index_stamp.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"

namespace trovix::panel {
namespace {

using Clock = IndexStamp::Clock;

class Database {
 public:
  // A reader only opens the file; a writer also makes it a WAL database
  // with a table. As in the index store, the log is kept (not cut) after a
  // checkpoint, so a later commit rewrites it from its start.
  Database(const std::string& path, bool writer) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    if (writer) {
      Exec(
          "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
          "CREATE TABLE IF NOT EXISTS t (x BLOB)");
    }
  }
  ~Database() { sqlite3_close(db_); }

  void Exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  void Insert(int bytes) { Exec("INSERT INTO t VALUES (zeroblob(" + std::to_string(bytes) + "))"); }

 private:
  sqlite3* db_ = nullptr;
};

std::int64_t LogSize(const std::string& database) {
  struct stat st {};
  return stat((database + "-wal").c_str(), &st) == 0 ? st.st_size : -1;
}

// A clock far enough ahead that every stamp is settled: only the files decide.
Clock::time_point Later() { return Clock::now() + std::chrono::hours(1); }

class IndexStampTest : public ::testing::Test {
 protected:
  testing::PrivateTree tree_;
  const std::string path_ = tree_.data() + "/index.db";
};

// The case a size-only check misses: after a full checkpoint the next commit
// overwrites the log from its start, and the log keeps its size.
TEST_F(IndexStampTest, ACommitThatRewritesTheLogInPlaceChangesASettledStamp) {
  Database db(path_, /*writer=*/true);
  db.Insert(200000);
  db.Exec("PRAGMA wal_checkpoint(PASSIVE)");
  ASSERT_TRUE(trovix::testing::WaitUntil([&] { return IndexStamp::Take(path_).settled(); }));
  const IndexStamp before = IndexStamp::Take(path_);
  ASSERT_TRUE(before.settled());
  const std::int64_t size = LogSize(path_);

  db.Insert(10);
  const IndexStamp after = IndexStamp::Take(path_);
  EXPECT_EQ(LogSize(path_), size);
  EXPECT_FALSE(before.UnchangedAt(after));
}

// Right after a commit the file times cannot tell a second commit within the
// same clock tick from none: such a stamp vouches for nothing.
TEST_F(IndexStampTest, AStampNewerThanTheSettleTimeVouchesForNothing) {
  const FileState file{true, 1, 2, 4096, 1'000'000'000'000};
  const Clock::time_point written{std::chrono::nanoseconds(file.modified_ns)};
  const IndexStamp fresh(file, FileState{}, written + kSettleTime);
  EXPECT_FALSE(fresh.settled());
  EXPECT_FALSE(fresh.UnchangedAt(fresh));
  const IndexStamp old(file, FileState{}, written + kSettleTime + std::chrono::nanoseconds(1));
  EXPECT_TRUE(old.settled());
  EXPECT_TRUE(old.UnchangedAt(fresh));

  FileState modified_in_the_future = file;
  modified_in_the_future.modified_ns += std::chrono::nanoseconds(std::chrono::hours(1)).count();
  EXPECT_FALSE(
      IndexStamp(modified_in_the_future, FileState{}, written + std::chrono::minutes(1)).settled());
}

// Readers write nothing: with another connection open (as the indexer keeps
// one), a reader's open, read and close leave both files as they were.
TEST_F(IndexStampTest, ReadingChangesNothingAndEveryCommitOrCheckpointDoes) {
  Database writer(path_, /*writer=*/true);
  writer.Insert(1000);
  IndexStamp stamp = IndexStamp::Take(path_, Later());
  {
    Database reader(path_, /*writer=*/false);
    reader.Exec("SELECT count(*) FROM t");
  }
  IndexStamp next = IndexStamp::Take(path_, Later());
  EXPECT_TRUE(stamp.UnchangedAt(next));

  writer.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  stamp = std::exchange(next, IndexStamp::Take(path_, Later()));
  EXPECT_FALSE(stamp.UnchangedAt(next));
  EXPECT_EQ(next.log().size, 0);

  writer.Insert(10);
  stamp = std::exchange(next, IndexStamp::Take(path_, Later()));
  EXPECT_FALSE(stamp.UnchangedAt(next));
}

// A rebuilt database linked into place is another file, even with the same
// size and times as the one it replaces.
TEST_F(IndexStampTest, AFilePutInPlaceOfTheDatabaseChangesTheStamp) {
  { Database db(path_, /*writer=*/true); }
  const std::string rebuilt = tree_.data() + "/rebuilt.db";
  { Database db(rebuilt, /*writer=*/true); }
  const IndexStamp before = IndexStamp::Take(path_, Later());
  ASSERT_TRUE(before.database().present);
  ASSERT_EQ(std::rename(rebuilt.c_str(), path_.c_str()), 0);
  const IndexStamp after = IndexStamp::Take(path_, Later());
  EXPECT_NE(after.database().inode, before.database().inode);
  EXPECT_FALSE(before.UnchangedAt(after));
}

TEST_F(IndexStampTest, AMissingDatabaseIsAStateAndAnUnreadableOneIsUnknown) {
  const IndexStamp missing = IndexStamp::Take(path_, Later());
  EXPECT_TRUE(missing.known());
  EXPECT_FALSE(missing.database().present);
  EXPECT_TRUE(missing.UnchangedAt(IndexStamp::Take(path_, Later())));
  { Database db(path_, /*writer=*/true); }
  EXPECT_FALSE(missing.UnchangedAt(IndexStamp::Take(path_, Later())));

  const IndexStamp no_path = IndexStamp::Take("", Later());
  EXPECT_FALSE(no_path.known());
  EXPECT_FALSE(no_path.UnchangedAt(no_path));
  // A path through a file cannot be searched (ENOTDIR): not vouched for.
  EXPECT_FALSE(IndexStamp::Take(path_ + "/below", Later()).known());
}

}  // namespace
}  // namespace trovix::panel
