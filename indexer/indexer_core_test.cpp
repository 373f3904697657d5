// The indexer's core: which files it reads, how it walks folders, and the
// per-file steps against the real index store.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "indexer/directory_walk.h"
#include "indexer/file_processing.h"
#include "indexer/indexable_extensions.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

using ordalis::testing::OrdalisTest;

class IndexerCoreTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    folder_ = tree_->home() + "/docs/";
    std::filesystem::create_directories(folder_);
  }

  std::vector<std::string> Walk(const std::string& folder, unsigned keep_going = 1) {
    std::vector<std::string> seen;
    std::atomic<unsigned> flag{keep_going};
    WalkFolder(
        folder, [&seen](const std::string& path) { seen.push_back(path); }, flag);
    std::sort(seen.begin(), seen.end());
    return seen;
  }

  // Occurrences of `word` over all files, straight from the database: in
  // the word index and in the term index (the words of texts only).
  long WordCount(const std::string& word) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long count = -1;
    if (sqlite3_prepare_v2(db,
                           "SELECT (SELECT total(WordCount) FROM FilesWords, Words "
                           "WHERE FilesWords.WordID = Words.ID AND Words.Word = ?1) + "
                           "(SELECT total(Freq >> 1) FROM FileTerms, Terms "
                           "WHERE FileTerms.TermID = Terms.TermID AND Terms.Term = ?1)",
                           -1, &stmt, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, word.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW) count = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
  }

  std::string folder_;
};

TEST_F(IndexerCoreTest, IndexableTypesComeFromRegisteredFileTypesWithAShellVerb) {
  RegKey key;
  ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT, u".novb", &key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"", u"novbfile"), ERROR_SUCCESS);  // a type without any verb
  ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT, u"novbfile", &key), ERROR_SUCCESS);
  const IndexableExtensionSet set = IndexableExtensionSet::FromRegistry();
  EXPECT_TRUE(set.Contains(u".txt"));
  EXPECT_TRUE(set.Contains(u".TXT"));
  EXPECT_TRUE(set.Contains(u".md"));
  EXPECT_FALSE(set.Contains(u".novb"));
  EXPECT_FALSE(set.Contains(u".blob"));
  EXPECT_FALSE(set.Contains(u""));

  EXPECT_EQ(ExtensionOf(u"/home/a/notes.TXT"), u".TXT");
  EXPECT_EQ(ExtensionOf(u"/home/a/archive.tar.gz"), u".gz");
  EXPECT_EQ(ExtensionOf(u"/home/a.d/README"), u"") << "a dot in a folder name is no extension";
  EXPECT_EQ(ExtensionOf(u"/home/a/.profile"), u".profile");
}

TEST_F(IndexerCoreTest, TheWalkSkipsLinksAndSpecialFilesAndStops) {
  trovix::testing::WriteFile(folder_ + "a.txt", "alpha");
  trovix::testing::WriteFile(folder_ + "sub/deeper/b.txt", "beta");
  const std::string outside = tree_->root() + "/outside";
  trovix::testing::WriteFile(outside + "/secret.txt", "not here");
  ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), (folder_ + "link.txt").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (folder_ + "linked-folder").c_str()), 0);
  ASSERT_EQ(mkfifo((folder_ + "pipe.txt").c_str(), 0600), 0);
  EXPECT_EQ(Walk(folder_),
            (std::vector<std::string>{folder_ + "a.txt", folder_ + "sub/deeper/b.txt"}));
  EXPECT_EQ(Walk(folder_.substr(0, folder_.size() - 1)).size(), 2u) << "no trailing slash";
  EXPECT_TRUE(Walk(folder_, /*keep_going=*/0).empty());
  EXPECT_TRUE(Walk(tree_->root() + "/missing").empty());
}

TEST_F(IndexerCoreTest, FilesAreCataloguedIndexedAndRefreshedOnlyWhenChanged) {
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  UINT keep_going = 1;
  const std::string path = folder_ + "note.txt";
  trovix::testing::WriteFile(path, "original budget words");
  EXPECT_EQ(ProcessFile(path, &keep_going), FileOutcome::kIndexed);
  EXPECT_EQ(ProcessFile(path, &keep_going), FileOutcome::kUnchanged);

  trovix::testing::WriteFile(path, "replacement text");
  const timeval later[2] = {{2000000000, 0}, {2000000000, 0}};
  ASSERT_EQ(utimes(path.c_str(), later), 0);
  EXPECT_EQ(ProcessFile(path, &keep_going), FileOutcome::kIndexed);
  // The old words are gone, the new ones are in.
  EXPECT_EQ(WordCount("original"), 0);
  EXPECT_EQ(WordCount("replacement"), 1);

  trovix::testing::WriteFile(folder_ + "data.blob", "unreadable type");
  EXPECT_EQ(ProcessFile(folder_ + "data.blob", &keep_going), FileOutcome::kNoFilter);
  EXPECT_EQ(ProcessFile(folder_ + "missing.txt", &keep_going), FileOutcome::kFailed);

  const IndexStoreFiles own = IndexStoreFiles::Query(db.get());
  EXPECT_TRUE(own.Contains(DatabasePath()));
  EXPECT_TRUE(own.Contains(DatabasePath() + "-wal"));
  EXPECT_TRUE(own.Contains(tree_->state() + "/Quillon/trovlog.txt"));
  ASSERT_EQ(symlink(DatabasePath().c_str(), (folder_ + "db-link").c_str()), 0);
  EXPECT_TRUE(own.Contains(folder_ + "db-link"));
  EXPECT_FALSE(own.Contains(path));
  ASSERT_EQ(db->Cleanup(), S_OK);
  EXPECT_TRUE(IndexStoreFiles::Query(db.get()).Contains(path)) << "unknown paths: refuse all";
}

}  // namespace
}  // namespace trovix::indexer
