// Words of every script through the installed programs, and an index of
// the earlier version upgraded in place: kestine and `trovix index` write
// the terms, `trovix search` finds them in every form, and an old index
// keeps its catalogue, is searchable throughout and is filled in the
// background by kestine, which a kill -9 mid-fill does not set back.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/reg_key.h"
#include "platform/testing/wait_until.h"
#include "reliability/reliability_fixture.h"

namespace trovix::reliability {
namespace {

using namespace std::chrono_literals;
using trovix::testing::WaitUntil;

// A text in each script and the queries, in every case and accent form,
// that must find it (the file's name is the key).
const std::map<std::string, std::pair<std::string, std::vector<std::string>>>& Scripts() {
  static const std::map<std::string, std::pair<std::string, std::vector<std::string>>> scripts = {
      {"fr.txt", {"Le café était très bon", {"café", "CAFÉ", "cafe", "ETAIT"}}},
      {"de.txt", {"Die Straße ist groß", {"STRASSE", "strasse", "Straße", "gross"}}},
      {"el.txt", {"Ελληνικά κείμενο", {"ελληνικά", "ΕΛΛΗΝΙΚΆ", "ελληνικα"}}},
      {"ru.txt", {"Русский текст Ёлка", {"русский", "ТЕКСТ", "елка"}}},
      {"ja.txt", {"東京都の天気は晴れです", {"東京都", "天気", "晴れ"}}},
      {"zh.txt", {"我们正在学习中文信息处理", {"中文", "信息处理"}}},
      {"ko.txt", {"한국어 형태소 분석기", {"한국어", "형태소"}}},
      {"budget-2024.txt", {"Invoice 47110815 AI Go", {"47110815", "budget", "2024", "AI", "go"}}},
  };
  return scripts;
}

class UpgradeTest : public ReliabilityTest {
 protected:
  void WriteScripts(const std::string& folder) {
    for (const auto& [name, script] : Scripts()) {
      trovix::testing::WriteFile(folder + "/" + name, script.first + "\n");
    }
  }

  // The files below `folder` that `trovix search [options] QUERY` finds.
  PathSet Search(const std::string& folder, const std::vector<std::string>& query) {
    std::vector<std::string> args = {"search", "--include", SubtreePattern(folder)};
    args.insert(args.end(), query.begin(), query.end());
    std::string output;
    const int status = Trovix(args, &output);
    EXPECT_TRUE(status == 0 || status == 1) << output;
    return PathsIn(output);
  }

  void ExpectEveryFormFound(const std::string& folder, const std::string& how) {
    for (const auto& [name, script] : Scripts()) {
      for (const std::string& query : script.second) {
        EXPECT_EQ(Search(folder, {"--", query}), PathSet{folder + "/" + name})
            << how << ": " << query;
      }
    }
  }

  // Turns the database into the earlier version's: no term index, the
  // words of three letters or more of every file in the word index (the
  // old rules kept A-Z words only, folded to lower case), schema version 1.
  void Downgrade() {
    Rewrite(
        "BEGIN;"
        "INSERT OR IGNORE INTO Words (Word) SELECT Term FROM Terms "
        "  WHERE length(Term) >= 3 AND Term NOT GLOB '*[^a-z]*';"
        "INSERT INTO FilesWords SELECT FileTerms.FileID, Words.ID, FileTerms.Freq >> 1 "
        "  FROM FileTerms JOIN Terms USING (TermID) JOIN Words ON Words.Word = Terms.Term "
        "  WHERE FileTerms.Freq >= 2;"
        "DROP TABLE FileTerms; DROP TABLE Terms; DROP INDEX FilesToAnalyse;"
        "ALTER TABLE Files DROP COLUMN Analysis;"
        "PRAGMA user_version = 1;"
        "COMMIT;");
  }

  // Turns the database into version 2's: the term-to-file index ordered by
  // term first.
  void DowngradeToTermOrder() {
    Rewrite(
        "BEGIN; DROP INDEX FileTermsByBlock;"
        "CREATE INDEX FileTermsByTerm ON FileTerms(TermID, FileID);"
        "UPDATE DatabaseInfo SET Value = '2' WHERE Name = 'Schema Version';"
        "PRAGMA user_version = 2; COMMIT;");
  }

  // Runs `sql` on the database file, as an older version would have left it.
  void Rewrite(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  // The names of the database's indexes on FileTerms and its version.
  std::string TermIndexes() {
    sqlite3* db = nullptr;
    std::string answer;
    if (sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT group_concat(name, ' ') || ' v' || (SELECT user_version FROM "
                             "pragma_user_version) FROM (SELECT name FROM sqlite_master WHERE "
                             "type = 'index' AND tbl_name = 'FileTerms' AND sql IS NOT NULL "
                             "ORDER BY name)",
                             -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
        answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return answer;
  }

  // Catalogued files the term index does not hold yet; -1 when unreadable
  // (the column is there once the upgrade ran).
  long Unanalysed() {
    sqlite3* db = nullptr;
    long count = -1;
    if (sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 10000);
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Files WHERE Analysis = 0", -1, &statement,
                             nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
  }

  // Startup scans would also give the old files their terms; the fill is
  // what is under test, so kestine only fills.
  void SuppressStartupScan() {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"Suppress Startup Scan", 1), ERROR_SUCCESS);
  }
};

TEST_F(UpgradeTest, KestineAndTrovixIndexMakeEveryScriptSearchableInEveryForm) {
  WriteScripts(root_);
  StartKestine();
  ASSERT_TRUE(WaitUntilIndexMatchesDisk(120s).none());
  ExpectEveryFormFound(root_, "indexed by kestine");

  WriteScripts(outside_);
  std::string output;
  ASSERT_EQ(Trovix({"index", outside_}, &output), 0) << output;
  ExpectEveryFormFound(outside_, "indexed by trovix index");

  // A query of nothing searchable is refused, not answered with every file.
  for (const std::string query : {"!!", "x y", "?"}) {
    EXPECT_EQ(Trovix({"search", "--", query}, &output), 2) << query;
    EXPECT_EQ(output, "trovix: no searchable words in the query\n") << query;
  }
}

// An index of version 2 (its term-to-file index ordered by term) answers
// every query through that index until a writer reorders it by blocks of
// files, after which the same queries find the same files.
TEST_F(UpgradeTest, ATermOrderedIndexIsSearchedAsItIsThenReorderedByTheFirstWriter) {
  WriteScripts(root_);
  std::string output;
  ASSERT_EQ(Trovix({"index", root_}, &output), 0) << output;
  EXPECT_EQ(TermIndexes(), "FileTermsByBlock v3");
  DowngradeToTermOrder();
  ASSERT_EQ(TermIndexes(), "FileTermsByTerm v2");
  ExpectEveryFormFound(root_, "through the term-ordered index");
  EXPECT_EQ(TermIndexes(), "FileTermsByTerm v2");  // readers change nothing

  WriteScripts(outside_);
  ASSERT_EQ(Trovix({"index", outside_}, &output), 0) << output;
  EXPECT_EQ(TermIndexes(), "FileTermsByBlock v3");
  EXPECT_EQ(IntegrityCheck(DatabasePath()), "ok");
  ExpectEveryFormFound(root_, "after the reordering");
  ExpectEveryFormFound(outside_, "written after the reordering");
}

TEST_F(UpgradeTest, AnEarlierIndexKeepsItsCatalogueAndIsFilledByKestineThroughAKill) {
  WriteScripts(root_);
  const std::vector<std::string> plain = WriteTextFiles(root_ + "/bulk", "bulk", 3000);
  WriteScripts(outside_);  // catalogued, but below no root: only the fill reaches it
  std::string output;
  ASSERT_EQ(Trovix({"index", root_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"index", outside_}, &output), 0) << output;
  const std::optional<PathSet> before = Catalogue(tree_.home());
  ASSERT_TRUE(before.has_value());
  Downgrade();
  ASSERT_EQ(IntegrityCheck(DatabasePath()), "ok");

  // The first program to write upgrades the file; until the fill reaches
  // them, files are found by the old rules, so words of A-Z letters are.
  EXPECT_EQ(Catalogue(tree_.home()), before);
  EXPECT_EQ(Search(root_, {"reliable"}).size(), plain.size());
  EXPECT_EQ(Search(outside_, {"invoice"}), PathSet{outside_ + "/budget-2024.txt"});
  const long waiting = Unanalysed();  // -1 while no program wrote since
  EXPECT_TRUE(waiting == -1 || waiting == static_cast<long>(before->size())) << waiting;

  SuppressStartupScan();
  StartKestine();
  std::this_thread::sleep_for(300ms);
  const long at_kill = Unanalysed();
  KillKestine();
  Summarize("upgrade fill: killed with " + std::to_string(at_kill) + " of " +
            std::to_string(before->size()) + " files left to analyse");
  EXPECT_EQ(IntegrityCheck(DatabasePath()), "ok");
  EXPECT_EQ(Catalogue(tree_.home()), before);
  EXPECT_EQ(Search(root_, {"reliable"}).size(), plain.size()) << "mid-fill, " << at_kill << " left";

  StartKestine();
  ASSERT_TRUE(WaitUntil([&] { return Unanalysed() == 0; }, 180s, 200ms))
      << Unanalysed() << " files left to analyse";
  EXPECT_EQ(Catalogue(tree_.home()), before);
  ExpectEveryFormFound(root_, "after the fill");
  ExpectEveryFormFound(outside_, "after the fill, outside the roots");
  EXPECT_EQ(Search(root_, {"RELIABLE"}).size(), plain.size());
  EXPECT_EQ(Trovix({"status"}, &output), 0) << output;
  EXPECT_EQ(output.find("Upgrading the index"), std::string::npos) << output;
}

}  // namespace
}  // namespace trovix::reliability
