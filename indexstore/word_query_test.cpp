// Word queries below the interface: the split of query texts, the statements'
// use of the schema's indexes, and the merge of word cursors compared with a
// simple model on a random index.
#include "indexstore/word_query.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "platform/hresult.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace ordalis {
namespace {

TEST(QueryWordsTest, TheTwentyNineSeparatorsSplitAndNothingElseDoes) {
  const WString separators = u" \n\r\t,.\\=`~!@#$^&()|{}[]:;<>?/";
  ASSERT_EQ(separators.size(), 29u);
  for (const WCHAR separator : separators) {
    const WString text = WString(u"ab") + separator + u"cd";
    EXPECT_EQ(SplitQueryWords(text), (std::vector<WString>{u"ab", u"cd"})) << int{separator};
  }
  EXPECT_EQ(SplitQueryWords(u"a*b+c-d_e%f'g\"h\u00e9\u4e2d9"),
            (std::vector<WString>{u"a*b+c-d_e%f'g\"h\u00e9\u4e2d9"}));
  EXPECT_EQ(SplitQueryWords(u"  report,,budget\t* + - "),
            (std::vector<WString>{u"report", u"budget", u"*", u"+", u"-"}));
  EXPECT_TRUE(SplitQueryWords(separators).empty());
  EXPECT_TRUE(SplitQueryWords(u"").empty());
}

// A database with the real schema, filled directly with SQL.
class WordCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = tree_.data() + "/words.db";
    ASSERT_EQ(trovix::CreateDatabase(path), S_OK);
    ASSERT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }

  void Execute(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
  }

  // The engine's plan for a token's statement, with its parameters bound.
  std::string Plan(const WString& token, bool check_catalogue = true) {
    WordQuery query;
    EXPECT_TRUE(BuildWordQuery(token, &query, check_catalogue));
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = std::string("explain query plan ") + query.sql;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
    const std::string word = Utf16ToUtf8(query.word);
    if (query.word_parameter) sqlite3_bind_text(stmt, 1, word.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, query.word_parameter ? 2 : 1, 0);
    std::string plan;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      plan += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
      plan += "\n";
    }
    sqlite3_finalize(stmt);
    return plan;
  }

  std::vector<INT> Match(const std::vector<WString>& tokens, bool check_catalogue = true) {
    std::vector<WordCursor> cursors;
    for (const WString& token : tokens) {
      WordQuery query;
      EXPECT_TRUE(BuildWordQuery(token, &query, check_catalogue));
      cursors.emplace_back(db_, std::move(query));
      EXPECT_EQ(cursors.back().Open(), S_OK);
    }
    return IntersectCursors(cursors);
  }

  trovix::testing::PrivateTree tree_;
  sqlite3* db_ = nullptr;
};

TEST_F(WordCursorTest, WordStatementsStreamFromTheIndexesWithoutSorting) {
  const std::string word = Plan(u"report");
  EXPECT_NE(word.find("sqlite_autoindex_Words_1 (Word=?)"), std::string::npos) << word;
  EXPECT_NE(word.find("FilesWordsByWord (WordID=? AND FileID>?)"), std::string::npos) << word;
  EXPECT_NE(word.find("files USING INTEGER PRIMARY KEY"), std::string::npos) << word;
  EXPECT_EQ(word.find("TEMP B-TREE"), std::string::npos) << word;
  // A prefix reads a range of the case-blind index of Words and the word
  // index of each word found, and looks each distinct file up once in Files,
  // in order: no sort, and no lookup per file and word.
  const std::string prefix = Plan(u"rep*");
  EXPECT_NE(prefix.find("sqlite_autoindex_Words_1 (Word>? AND Word<?)"), std::string::npos)
      << prefix;
  EXPECT_NE(prefix.find("FilesWordsByWord (WordID=?)"), std::string::npos) << prefix;
  EXPECT_NE(prefix.find("files USING INTEGER PRIMARY KEY (rowid=?)"), std::string::npos) << prefix;
  EXPECT_EQ(prefix.find("TEMP B-TREE"), std::string::npos) << prefix;
  // Candidates read the word index alone, in order.
  const std::string candidates = Plan(u"report", /*check_catalogue=*/false);
  EXPECT_NE(candidates.find("FilesWordsByWord (WordID=? AND FileID>?)"), std::string::npos)
      << candidates;
  EXPECT_EQ(candidates.find("SEARCH files "), std::string::npos) << candidates;
  EXPECT_EQ(candidates.find("TEMP B-TREE"), std::string::npos) << candidates;
  const std::string prefix_candidates = Plan(u"rep*", /*check_catalogue=*/false);
  EXPECT_EQ(prefix_candidates.find("SEARCH files "), std::string::npos) << prefix_candidates;
  for (const char16_t* token : {u"*", u"+", u"-"}) {
    const std::string plan = Plan(token);
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN fileswords"), std::string::npos) << plan;
  }
}

// Random files and words, with rare and common words (gaps long enough for
// cursors to seek) and word rows left behind by deleted files.
TEST_F(WordCursorTest, TheMergeAgreesWithAModelOnARandomIndex) {
  std::mt19937 random(11);
  constexpr int kFiles = 3000;
  const std::vector<double> frequency = {0.9, 0.5, 0.2, 0.05, 0.01, 0.002, 0.0};
  std::map<std::string, std::set<INT>> model;  // word → files with a Files row
  std::set<INT> with_words;
  std::vector<INT> catalogued;
  Execute(
      "BEGIN; INSERT INTO Drives VALUES (1, 3, '/'); INSERT INTO Directories VALUES (1, 'd/', 1)");
  for (std::size_t w = 0; w < frequency.size(); ++w) {
    Execute("INSERT INTO Words VALUES (" + std::to_string(w + 1) + ", 'Word" + std::to_string(w) +
            "')");
  }
  for (INT file = 1; file <= kFiles; ++file) {
    const bool is_catalogued = random() % 10 != 0;
    if (is_catalogued) {
      catalogued.push_back(file);
      Execute("INSERT INTO Files (FileID, DirectoryID, Name) VALUES (" + std::to_string(file) +
              ", 1, 'f" + std::to_string(file) + "')");
    }
    for (std::size_t w = 0; w < frequency.size(); ++w) {
      if (std::uniform_real_distribution<>(0, 1)(random) >= frequency[w]) continue;
      Execute("INSERT INTO FilesWords VALUES (" + std::to_string(file) + ", " +
              std::to_string(w + 1) + ", 1)");
      if (!is_catalogued) continue;
      model["word" + std::to_string(w)].insert(file);
      with_words.insert(file);
    }
  }
  Execute("COMMIT");
  for (int round = 0; round < 200; ++round) {
    std::vector<WString> tokens;
    std::set<INT> expected = with_words;
    for (int n = 1 + static_cast<int>(random() % 3); n > 0; --n) {
      const std::string word = "word" + std::to_string(random() % frequency.size());
      tokens.push_back(Utf8ToUtf16(word));
      std::set<INT> kept;
      std::set_intersection(expected.begin(), expected.end(), model[word].begin(),
                            model[word].end(), std::inserter(kept, kept.end()));
      expected = kept;
    }
    if (random() % 4 == 0) tokens.push_back(u"+");
    const std::vector<INT> got = Match(tokens);
    EXPECT_EQ(got, std::vector<INT>(expected.begin(), expected.end()))
        << Utf16ToUtf8(tokens[0]) << " and " << tokens.size() - 1 << " more";
    // The candidates are those files and files that are not catalogued.
    std::vector<INT> checked;
    for (const INT file : Match(tokens, /*check_catalogue=*/false)) {
      if (std::binary_search(catalogued.begin(), catalogued.end(), file)) checked.push_back(file);
    }
    EXPECT_EQ(checked, got) << Utf16ToUtf8(tokens[0]) << " and " << tokens.size() - 1 << " more";
  }
  // "WORD*" matches every word, whatever its case: the files with words.
  EXPECT_EQ(Match({u"WORD*"}), std::vector<INT>(with_words.begin(), with_words.end()));
  std::vector<INT> without_words;
  for (const INT file : catalogued) {
    if (!with_words.contains(file)) without_words.push_back(file);
  }
  EXPECT_EQ(Match({u"-"}), without_words);
  EXPECT_EQ(Match({u"*", u"-"}), without_words);
  EXPECT_TRUE(Match({u"-", u"word0"}).empty());
}

}  // namespace
}  // namespace ordalis
