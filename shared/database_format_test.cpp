// The database file the installation creates and the index store opens.
#include "shared/database_format.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/hresult.h"
#include "platform/testing/private_tree.h"

namespace trovix {
namespace {

using testing::PrivateTree;
using testing::ReadFile;

std::string QueryText(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string result = "<error>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      result = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

TEST(DatabaseFormatTest, CreatesAPrivateWalDatabaseWithTablesAndPassword) {
  PrivateTree tree;
  const std::string path = tree.data() + "/Ordalis.mdb";
  ASSERT_EQ(CreateDatabase(path), S_OK);
  // Nothing but the database is left (no journal, no temporary file) in the folder.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tree.data())) ++entries;
  EXPECT_EQ(entries, 1u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(QueryText(path, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(QueryText(path, "PRAGMA application_id"), std::to_string(kDatabaseApplicationId));
  EXPECT_EQ(QueryText(path, "SELECT Value FROM DatabaseInfo WHERE Name = 'Password'"), "Q7vk2x");
  for (const char* table : kDatabaseTables) {
    EXPECT_EQ(QueryText(path, (std::string("SELECT Count(*) FROM ") + table).c_str()), "0");
  }
  EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
}

TEST(DatabaseFormatTest, WordsAreUniqueWithoutRegardToCaseAndNamesCompareExactly) {
  PrivateTree tree;
  const std::string path = tree.data() + "/Ordalis.mdb";
  ASSERT_EQ(CreateDatabase(path), S_OK);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(
      sqlite3_exec(db, "INSERT INTO Words (Word) VALUES ('Budget')", nullptr, nullptr, nullptr),
      SQLITE_OK);
  EXPECT_EQ(
      sqlite3_exec(db, "INSERT INTO Words (Word) VALUES ('bUDGET')", nullptr, nullptr, nullptr),
      SQLITE_CONSTRAINT);
  EXPECT_EQ(
      sqlite3_exec(db, "INSERT INTO Files (DirectoryID, Name) VALUES (1, 'a.txt'), (1, 'A.txt')",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(QueryText(path, "SELECT Count(*) FROM Files WHERE Name = 'a.txt'"), "1");
  EXPECT_EQ(QueryText(path, "SELECT Count(*) FROM Files WHERE Name LIKE 'a.TXT'"), "2");
  EXPECT_EQ(QueryText(path, "SELECT Min(FileID) FROM Files"), "1") << "identities start at 1";
}

TEST(DatabaseFormatTest, NeverTouchesAnExistingFile) {
  PrivateTree tree;
  const std::string path = tree.data() + "/Ordalis.mdb";
  testing::WriteFile(path, "my own file");
  EXPECT_EQ(CreateDatabase(path), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadFile(path), "my own file");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tree.data())) ++entries;
  EXPECT_EQ(entries, 1u) << "no temporary file left behind";

  EXPECT_EQ(CreateDatabase(tree.data() + "/missing/Ordalis.mdb"),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(DatabaseFormatTest, DefaultLocationFollowsDataHomeThenHome) {
  PrivateTree tree;
  EXPECT_EQ(DefaultDatabaseLocation().path, tree.data() + "/Quillon/Ordalis.mdb");
  setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
  EXPECT_EQ(DefaultDatabaseLocation().path, tree.home() + "/.local/share/Quillon/Ordalis.mdb");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DefaultDatabaseLocation().path, tree.home() + "/.local/share/Quillon/Ordalis.mdb");

  const std::string deep = tree.root() + "/" + std::string(250, 'd');
  setenv("XDG_DATA_HOME", deep.c_str(), 1);
  const DatabaseLocation location = DefaultDatabaseLocation();
  EXPECT_EQ(location.failure, DatabaseLocation::Failure::kTooLong);
  EXPECT_TRUE(location.path.empty()) << "a cut path would name another file";
}

}  // namespace
}  // namespace trovix
