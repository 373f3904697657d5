// The word index through the component's interface: real text files in the
// private tree catalogued with AddFile and indexed with IndexFile, compared
// with an independent count; re-indexing, unindexing, stopping, size limit,
// files without a filter, and words cut by a piece boundary.
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using Counts = std::map<std::string, long>;  // word in lower case → count

class WordIndexTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    folder_ = tree_->home() + "/docs";
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    if (db_) {
      EXPECT_EQ(db_->Cleanup(), S_OK);
    }
    db_.reset();
    OrdalisTest::TearDown();
  }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = folder_ + "/" + name;
    trovix::testing::WriteFile(path, text);
    return path;
  }

  HRESULT AddAndIndex(const std::string& path, UINT* keep_going = nullptr, UINT* id = nullptr) {
    const WString wide = Utf8ToUtf16(path);
    const HRESULT added = db_->AddFile(wide.c_str());
    if (FAILED(added)) return added;
    return db_->IndexFile(wide.c_str(), keep_going, id);
  }

  // The index's counts of one file, read straight from the database.
  Counts Indexed(const std::string& path) {
    INT id = 0;
    const WString wide = Utf8ToUtf16(path);
    if (db_->GetFileID(wide.c_str(), &id) != S_OK) return {};
    return Query(
        "SELECT lower(Words.Word), FilesWords.WordCount FROM FilesWords, Words "
        "WHERE FilesWords.WordID = Words.ID AND FilesWords.FileID = " +
        std::to_string(id));
  }

  void Execute(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  Counts Query(const std::string& sql) {
    Counts counts;
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        counts[reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))] +=
            sqlite3_column_int64(stmt, 1);
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return counts;
  }

  ComPtr<ITrovixDB> db_;
  std::string folder_;
};

// An independent count for ASCII text (non-ASCII words are the tokenizer
// tests' business): runs of letters, digits and "_",
// longer than two characters, not starting with a digit, cut to 40, a-z
// folded.
Counts ReferenceCount(const std::string& text) {
  Counts counts;
  std::string word;
  const auto end_word = [&] {
    if (word.size() > 2 && !std::isdigit(static_cast<unsigned char>(word[0]))) {
      std::string key = word.substr(0, 40);
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      ++counts[key];
    }
    word.clear();
  };
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += c;
    } else {
      end_word();
    }
  }
  end_word();
  return counts;
}

std::string RandomText(std::mt19937& random, std::size_t words) {
  static const char* const kWords[] = {
      "Budget",    "report",    "the",     "and",    "of", "plan_b", "x2",    "2026",
      "QUARTERLY", "quarterly", "meeting", "Agenda", "a",  "It's",   "notes", "v3rsion"};
  std::string text;
  for (std::size_t i = 0; i < words; ++i) {
    text += kWords[random() % 16];
    text += (random() % 7 == 0) ? ".\n" : " ";
  }
  // Words only this file has, some longer than forty letters.
  text += " unique" + std::to_string(random()) + " " + std::string(41 + random() % 10, 'z');
  return text;
}

TEST_F(WordIndexTest, AFolderIndexedThroughTheInterfaceMatchesAnIndependentCount) {
  std::mt19937 random(7);
  std::map<std::string, Counts> expected;
  for (int i = 0; i < 30; ++i) {
    const std::string text = RandomText(random, 50 + random() % 3000);
    const std::string path = Write("file" + std::to_string(i) + ".txt", text);
    expected[path] = ReferenceCount(text);
  }
  for (const auto& [path, counts] : expected) {
    UINT id = 0;
    ASSERT_EQ(AddAndIndex(path, nullptr, &id), S_OK) << path;
    EXPECT_NE(id, 0u);
  }
  for (const auto& [path, counts] : expected) EXPECT_EQ(Indexed(path), counts) << path;
  // One Words row per distinct word, whatever its case.
  EXPECT_EQ(Query("SELECT 'rows', Count(*) FROM Words")["rows"],
            Query("SELECT 'rows', Count(DISTINCT lower(Word)) FROM Words")["rows"]);
  EXPECT_EQ(Query("PRAGMA integrity_check")["ok"], 0);
}

TEST_F(WordIndexTest, ReindexingAddsCountsUntilTheFileIsUnindexed) {
  const std::string path = Write("twice.txt", "alpha beta beta gamma");
  ASSERT_EQ(AddAndIndex(path), S_OK);
  const WString wide = Utf8ToUtf16(path);
  ASSERT_EQ(db_->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
  EXPECT_EQ(Indexed(path), (Counts{{"alpha", 2}, {"beta", 4}, {"gamma", 2}}));
  EXPECT_EQ(db_->FileIndexed(wide.c_str()), S_OK);
  ASSERT_EQ(db_->UnIndexFile(wide.c_str(), 0), S_OK);
  EXPECT_EQ(db_->FileIndexed(wide.c_str()), S_FALSE);
  EXPECT_TRUE(Indexed(path).empty());
  ASSERT_EQ(db_->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
  EXPECT_EQ(Indexed(path), (Counts{{"alpha", 1}, {"beta", 2}, {"gamma", 1}}));
  UINT type = 7;
  EXPECT_EQ(db_->GetFileTextType(wide.c_str(), &type), S_OK);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(db_->SetIndexingCancelledFlag(1), S_OK);
}

TEST_F(WordIndexTest, ArgumentsAndFilesTheIndexRefuses) {
  EXPECT_EQ(db_->IndexFile(nullptr, nullptr, nullptr), E_INVALIDARG);
  const std::string loose = Write("loose.txt", "never catalogued");
  const WString loose_wide = Utf8ToUtf16(loose);
  UINT id = 99;
  EXPECT_EQ(db_->IndexFile(loose_wide.c_str(), nullptr, &id), E_INVALIDARG);
  EXPECT_EQ(id, 99u);
  EXPECT_EQ(db_->UnIndexFile(loose_wide.c_str(), 0), E_INVALIDARG);
  EXPECT_EQ(db_->UnIndexFile(nullptr, 5), E_INVALIDARG);
  EXPECT_EQ(db_->FileIndexed(loose_wide.c_str()), S_FALSE);
  EXPECT_EQ(db_->FileIndexed(nullptr), E_INVALIDARG);
  UINT type = 0;
  EXPECT_EQ(db_->GetFileTextType(u"", &type), E_INVALIDARG);
  EXPECT_EQ(db_->GetFileTextType(loose_wide.c_str(), nullptr), E_INVALIDARG);

  // A type without a filter or a text content type: catalogued, no words.
  const std::string blob = Write("data.blob", "words that stay unread");
  EXPECT_EQ(AddAndIndex(blob), E_NOINTERFACE);
  EXPECT_TRUE(Indexed(blob).empty());

  // Above the size limit nothing is read or written.
  const std::string big = folder_ + "/big.txt";
  trovix::testing::WriteFile(big, "");
  ASSERT_EQ(truncate(big.c_str(), 104857601), 0);
  id = 99;
  EXPECT_EQ(AddAndIndex(big, nullptr, &id), S_FALSE);
  EXPECT_EQ(id, 99u);
  EXPECT_TRUE(Indexed(big).empty());

  // A text with no accepted word completes but does not count as indexed.
  const std::string empty = Write("short.txt", "a an 12 to 9th");
  EXPECT_EQ(AddAndIndex(empty), S_OK);
  EXPECT_EQ(db_->FileIndexed(Utf8ToUtf16(empty).c_str()), S_FALSE);
}

TEST_F(WordIndexTest, AStopRequestKeepsEarlierBatchesAndDoesNotCount) {
  std::mt19937 random(3);
  std::string text;
  // Several chunks of many distinct words, so flushes happen part-way.
  for (int i = 0; i < 60000; ++i) text += "w" + std::to_string(random() % 50000) + "x ";
  const std::string path = Write("long.txt", text);
  UINT keep_going = 0;  // stop at the first flush
  EXPECT_EQ(AddAndIndex(path, &keep_going), S_FALSE);
  EXPECT_TRUE(Indexed(path).empty()) << "the stopped flush rolled back";
  keep_going = 1;
  const WString wide = Utf8ToUtf16(path);
  EXPECT_EQ(db_->IndexFile(wide.c_str(), &keep_going, nullptr), S_OK);
  long total = 0;
  for (const auto& [word, count] : Indexed(path)) total += count;
  EXPECT_EQ(total, 60000);
  EXPECT_EQ(Query("PRAGMA integrity_check")["ok"], 0);
}

TEST_F(WordIndexTest, AWordAcrossAPieceBoundaryCountsOnceWhole) {
  // Pieces hold 4095 units: "budget" straddles the first boundary.
  const std::string path = Write("edge.txt", std::string(4092, ' ') + "budget plan");
  ASSERT_EQ(AddAndIndex(path), S_OK);
  EXPECT_EQ(Indexed(path), (Counts{{"budget", 1}, {"plan", 1}}));
}

TEST_F(WordIndexTest, AFailedFlushRollsBackAndLeavesNoStaleWordIdentifiers) {
  // The engine refuses the word "poison" for a file, after "alpha" (sorted
  // first) was inserted into Words in the same transaction.
  Execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON FilesWords WHEN NEW.WordID = "
      "(SELECT ID FROM Words WHERE Word = 'poison') BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const std::string bad = Write("bad.txt", "alpha poison");
  EXPECT_EQ(AddAndIndex(bad), TRVX_E_ENGINE_CONSTRAINT);
  EXPECT_TRUE(Query("SELECT Word, 1 FROM Words").empty()) << "the whole flush rolled back";
  Execute("DROP TRIGGER refuse");
  // A word the failed flush had inserted is looked up again, not taken from
  // a remembered identifier of a row that no longer exists.
  const std::string good = Write("good.txt", "alpha beta");
  ASSERT_EQ(AddAndIndex(good), S_OK);
  EXPECT_EQ(Indexed(good), (Counts{{"alpha", 1}, {"beta", 1}}));
  const std::string again = Write("again.txt", "alpha");
  ASSERT_EQ(AddAndIndex(again), S_OK);
  EXPECT_EQ(Indexed(again), (Counts{{"alpha", 1}}));
}

TEST_F(WordIndexTest, CountersFollowIndexingAndUnindexing) {
  const std::string a = Write("a.txt", "first file");
  const std::string b = Write("b.txt", "second file");
  ASSERT_EQ(AddAndIndex(a), S_OK);
  ASSERT_EQ(AddAndIndex(b), S_OK);
  ASSERT_EQ(db_->UnIndexFile(Utf8ToUtf16(a).c_str(), 0), S_OK);
  ASSERT_EQ(db_->Cleanup(), S_OK);
  db_.reset();
  RegKey key;
  DWORD indexed = 0;
  DWORD processed = 0;
  ASSERT_EQ(RegKey::Open(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key),
            ERROR_SUCCESS);
  ASSERT_EQ(key.GetDword(u"Files Indexed", &indexed), ERROR_SUCCESS);
  ASSERT_EQ(key.GetDword(u"Files Processed", &processed), ERROR_SUCCESS);
  EXPECT_EQ(indexed, 1u);
  EXPECT_EQ(processed, 2u);
}

}  // namespace
}  // namespace ordalis::testing
