// The bulk pipeline and the folder-at-a-time walk against the real index
// store: every file reported only once its words are in the database, the
// same index as the file-by-file steps build, unchanged files left alone
// without being queued, a changed one written again, and a stop honoured.
#include "indexer/bulk_indexer.h"

#include <sqlite3.h>
#include <sys/time.h>

#include <filesystem>
#include <future>
#include <map>
#include <mutex>

#include "indexer/tree_indexer.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

using ordalis::testing::OrdalisTest;
using Outcomes = std::map<std::string, FileOutcome>;

class BulkIndexerTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixBatch, batch_.put_void()), S_OK);
    folder_ = tree_->home() + "/docs/";
    for (int i = 0; i < 60; ++i) {
      const std::string sub = folder_ + "d" + std::to_string(i % 4) + "/";
      std::filesystem::create_directories(sub);
      trovix::testing::WriteFile(sub + "f" + std::to_string(i) + ".txt",
                                 "common word" + std::to_string(i) + " shared text");
    }
    trovix::testing::WriteFile(folder_ + "skip.bin", "not wanted");
  }
  void TearDown() override {
    batch_.reset();
    if (db_) {
      EXPECT_EQ(db_->Cleanup(), S_OK);
    }
    db_.reset();
    OrdalisTest::TearDown();
  }

  // One walk of the folder: what the pipeline and the walk reported, and
  // for each file reported indexed, whether its words were already in the
  // database when it was reported.
  Outcomes Run(std::atomic<unsigned>* keep_going, std::size_t* queued_without_words = nullptr) {
    Outcomes outcomes;
    std::mutex mutex;
    BulkOptions options;
    options.preparers = 2;
    options.batch_age = std::chrono::milliseconds(50);
    options.batch_files = 7;  // several batches
    options.keep_going = keep_going;
    std::size_t missing = 0;
    BulkIndexer bulk(options, [&](const BulkResult& result) {
      const std::lock_guard lock(mutex);
      outcomes[result.path] = result.outcome;
      if (result.outcome == FileOutcome::kIndexed && WordsOf(result.path) == 0) ++missing;
    });
    const WantedFile wanted = [](const std::string& path) { return path.ends_with(".txt"); };
    const SettledFile settled = [&](const std::string& path, FileOutcome outcome) {
      const std::lock_guard lock(mutex);
      outcomes[path] = outcome;
    };
    IndexTree(folder_, batch_.get(), bulk, wanted, settled, [&] { return *keep_going != 0; });
    EXPECT_EQ(bulk.Finish(), S_OK);
    if (queued_without_words != nullptr) *queued_without_words = missing;
    return outcomes;
  }

  // Term rows of one file's text, by a connection of its own.
  long WordsOf(const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    return Count(
        "SELECT count(*) FROM FileTerms, Files WHERE FileTerms.FileID = Files.FileID "
        "AND FileTerms.Freq >= 2 AND Files.Name = '" +
        name + "'");
  }
  long Count(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long count = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      count = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
  }
  static std::size_t CountOf(const Outcomes& outcomes, FileOutcome outcome) {
    std::size_t n = 0;
    for (const auto& [path, seen] : outcomes) n += seen == outcome ? 1 : 0;
    return n;
  }

  ComPtr<ITrovixDB> db_;
  ComPtr<ITrovixBatch> batch_;
  std::string folder_;
};

TEST_F(BulkIndexerTest, AWalkIndexesEveryFileAndReportsItOnlyOnceItsWordsAreStored) {
  std::atomic<unsigned> keep_going{1};
  std::size_t without_words = 0;
  const Outcomes first = Run(&keep_going, &without_words);
  EXPECT_EQ(first.size(), 60u);
  EXPECT_EQ(CountOf(first, FileOutcome::kIndexed), 60u);
  EXPECT_EQ(without_words, 0u);
  // Each file has "common", its own word, "shared" and "text".
  EXPECT_EQ(Count("SELECT count(*) FROM FileTerms WHERE Freq >= 2"), 240);
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 60);
  UINT indexed = 0;
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 60u);
  // The file-by-file steps see the files as current.
  const WString one = Utf8ToUtf16(folder_ + "d1/f1.txt");
  EXPECT_EQ(db_->FileDueForUpdate(one.c_str()), S_FALSE);
  EXPECT_EQ(db_->FileIndexed(one.c_str()), S_OK);
}

TEST_F(BulkIndexerTest, AWalkOfAnUnchangedTreeQueuesOnlyTheChangedFile) {
  std::atomic<unsigned> keep_going{1};
  Run(&keep_going);
  const std::string changed = folder_ + "d2/f2.txt";
  trovix::testing::WriteFile(changed, "replaced words");
  // A last write time clearly after the row's update time.
  const timeval later[2] = {{time(nullptr) + 5, 0}, {time(nullptr) + 5, 0}};
  ASSERT_EQ(utimes(changed.c_str(), later), 0);
  const Outcomes second = Run(&keep_going);
  EXPECT_EQ(CountOf(second, FileOutcome::kUnchanged), 59u);
  EXPECT_EQ(second.at(changed), FileOutcome::kIndexed);
  EXPECT_EQ(WordsOf(changed), 2);
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 60);
  UINT indexed = 0;
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 60u);
}

TEST_F(BulkIndexerTest, AStoppedWalkReportsNothingItDidNotWriteAndAddIsRefused) {
  std::atomic<unsigned> keep_going{0};
  const Outcomes outcomes = Run(&keep_going);
  EXPECT_TRUE(outcomes.empty());
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 0);
  BulkOptions options;
  options.keep_going = &keep_going;
  BulkIndexer bulk(options, nullptr);
  EXPECT_FALSE(bulk.Add(folder_ + "d0/f0.txt"));
  EXPECT_EQ(bulk.Finish(), S_OK);
}

// A batch that could stay open for a minute ends as soon as another thread
// wants the write mutex: the waiter is served within seconds, and the file
// written so far is reported once that batch committed.
TEST_F(BulkIndexerTest, SomeoneWaitingForTheWriteMutexEndsTheBatch) {
  std::mutex mutex;
  std::vector<BulkResult> results;
  BulkOptions options;
  options.preparers = 1;
  options.batch_age = std::chrono::seconds(60);
  BulkIndexer bulk(options, [&](const BulkResult& result) {
    const std::lock_guard lock(mutex);
    results.push_back(result);
  });
  const std::string first = folder_ + "d0/f0.txt";
  ASSERT_TRUE(bulk.Add(first));
  // FileInDB takes the write mutex, so it sees only committed rows; once the
  // file is in the open batch, it waits for the mutex, which ends the batch.
  // The wait for it is shorter than the batch's age.
  ASSERT_TRUE(trovix::testing::WaitUntil(
      [&] { return db_->FileInDB(Utf8ToUtf16(first).c_str()) == S_OK; }, std::chrono::seconds(30)));
  EXPECT_EQ(WordsOf(first), 4) << "another connection sees the committed words";
  EXPECT_TRUE(trovix::testing::WaitUntil([&] {
    const std::lock_guard lock(mutex);
    return results.size() == 1;
  })) << "the file was not reported once its batch committed";
  ASSERT_EQ(bulk.Finish(), S_OK);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].outcome, FileOutcome::kIndexed);
}

TEST_F(BulkIndexerTest, RemovalsGoThroughTheBatchesAndAreReportedAsSuch) {
  std::atomic<unsigned> keep_going{1};
  Run(&keep_going);
  std::map<std::string, BulkResult> results;
  std::mutex mutex;
  BulkIndexer bulk({.preparers = 2}, [&](const BulkResult& result) {
    const std::lock_guard lock(mutex);
    results.emplace(result.path, result);
  });
  const std::string removed = folder_ + "d1/f1.txt";
  const std::string never = folder_ + "d1/never.txt";
  const std::string added = folder_ + "d1/late.txt";
  trovix::testing::WriteFile(added, "late words");
  ASSERT_TRUE(bulk.Remove(removed));
  ASSERT_TRUE(bulk.Remove(never));
  ASSERT_TRUE(bulk.Add(added));
  ASSERT_EQ(bulk.Finish(), S_OK);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results.at(removed).removal);
  EXPECT_EQ(results.at(removed).outcome, FileOutcome::kUnchanged);
  EXPECT_EQ(results.at(removed).status, S_OK);
  EXPECT_EQ(results.at(never).status, S_FALSE) << "it was never catalogued";
  EXPECT_FALSE(results.at(added).removal);
  EXPECT_EQ(results.at(added).outcome, FileOutcome::kIndexed);
  EXPECT_EQ(WordsOf(removed), 0);
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 60);
  UINT indexed = 0;
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 60u);
}

}  // namespace
}  // namespace trovix::indexer
