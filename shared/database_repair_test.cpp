// Telling damaged database files from healthy ones, and keeping a damaged
// file aside while a new database takes its place: real files damaged the
// ways crashes and disks damage them, and real processes holding locks.
#include "shared/database_repair.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/hresult.h"
#include "platform/testing/private_tree.h"
#include "shared/database_format.h"

namespace trovix {
namespace {

using testing::PrivateTree;
using testing::ReadFile;
using testing::WriteFile;

// A database of the suite with enough rows to span many pages.
void MakeFilledDatabase(const std::string& path) {
  ASSERT_EQ(CreateDatabase(path), S_OK);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const char* sql = R"sql(
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
    INSERT INTO Words (Word) SELECT 'word' || i || printf('%.40c', 'x') FROM n;)sql";
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
}

std::string IntegrityOf(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "<cannot open>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

DatabaseCondition ConditionOf(const std::string& path, HRESULT expected = S_OK) {
  DatabaseCheck check;
  EXPECT_EQ(CheckDatabase(path, &check), expected) << check.detail;
  return check.condition;
}

class RepairTest : public ::testing::Test {
 protected:
  std::string Path() const { return tree_.data() + "/Ordalis.mdb"; }
  PrivateTree tree_;
};

TEST_F(RepairTest, HealthyAndMissingFilesAreToldApartAndTheCheckChangesNothing) {
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kMissing);
  MakeFilledDatabase(Path());
  const std::string before = ReadFile(Path());
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kHealthy);
  EXPECT_EQ(ReadFile(Path()), before);
  EXPECT_FALSE(std::filesystem::exists(Path() + "-wal"));
  DatabaseCheck check;
  EXPECT_EQ(CheckDatabase(Path(), nullptr), E_INVALIDARG);
  EXPECT_EQ(CheckDatabase("", &check), E_INVALIDARG);
}

TEST_F(RepairTest, DamageOfEveryKindIsReportedAsDamage) {
  MakeFilledDatabase(Path());
  const std::string good = ReadFile(Path());
  ASSERT_GT(good.size(), 100000u);
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string scrambled = good;
  scrambled.replace(good.size() / 2, 4096, RandomBytes(4096, 1));
  const Case cases[] = {
      {"truncated", good.substr(0, good.size() / 3)},
      {"scrambled middle pages", scrambled},
      {"zero length", ""},
      {"random bytes", RandomBytes(65536, 2)},
      {"text", "this is not a database\n"},
  };
  for (const Case& c : cases) {
    WriteFile(Path(), c.bytes);
    DatabaseCheck check;
    EXPECT_EQ(CheckDatabase(Path(), &check), S_OK) << c.name << ": " << check.detail;
    EXPECT_EQ(check.condition, DatabaseCondition::kDamaged) << c.name;
    EXPECT_FALSE(check.detail.empty()) << c.name;
  }
}

TEST_F(RepairTest, AnotherProgramsDatabaseOrAMissingTableCountsAsDamage) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kDamaged);

  std::filesystem::remove(Path());
  ASSERT_EQ(CreateDatabase(Path()), S_OK);
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE FilesWords", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  DatabaseCheck check;
  ASSERT_EQ(CheckDatabase(Path(), &check), S_OK);
  EXPECT_EQ(check.condition, DatabaseCondition::kDamaged);
  EXPECT_EQ(check.detail, "the table FilesWords is missing");
}

// A child process that holds the database open (with an exclusive lock when
// `exclusive`) until the test ends it.
class Holder {
 public:
  Holder(const std::string& path, bool exclusive) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(release_), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);  // or the child would hold its own release open
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      const char* sql = exclusive ? "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                                  : "SELECT count(*) FROM Words;";
      const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
      const char answer = ok ? 'y' : 'n';
      static_cast<void>(write(ready[1], &answer, 1));
      char byte;
      static_cast<void>(read(release_[0], &byte, 1));  // end of file when the test is done
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char answer = 0;
    EXPECT_EQ(read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    close(ready[0]);
  }
  ~Holder() {
    close(release_[1]);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
};

TEST_F(RepairTest, ALockedDatabaseIsNeverCalledDamagedNorMovedAside) {
  MakeFilledDatabase(Path());
  {
    Holder holder(Path(), /*exclusive=*/true);
    DatabaseCheck check;
    const HRESULT hr = CheckDatabase(Path(), &check);
    EXPECT_TRUE(FAILED(hr)) << StatusName(hr);
    EXPECT_EQ(check.condition, DatabaseCondition::kUnknown);
    std::string kept;
    EXPECT_EQ(MoveAsideAndRecreate(Path(), &kept), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(kept.empty());
  }
  {
    Holder reader(Path(), /*exclusive=*/false);
    std::string kept;
    EXPECT_EQ(MoveAsideAndRecreate(Path(), &kept), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  }
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kHealthy);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tree_.data())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1u) << "nothing was kept, built or left behind";
}

TEST_F(RepairTest, ADamagedFileAndItsCompanionsAreKeptAndANewDatabaseTakesItsPlace) {
  WriteFile(Path(), "damaged content");
  WriteFile(Path() + "-wal", "old log");
  WriteFile(Path() + "-shm", "old index");
  std::string kept;
  ASSERT_EQ(MoveAsideAndRecreate(Path(), &kept), S_OK);
  EXPECT_TRUE(kept.starts_with(Path() + ".damaged-")) << kept;
  EXPECT_EQ(ReadFile(kept), "damaged content");
  EXPECT_EQ(ReadFile(kept + "-wal"), "old log");
  EXPECT_EQ(ReadFile(kept + "-shm"), "old index");
  EXPECT_FALSE(std::filesystem::exists(Path() + "-shm"));
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kHealthy);
  EXPECT_EQ(IntegrityOf(Path()), "ok");

  // A second repair in the same second keeps the first kept file too.
  WriteFile(Path(), "damaged again");
  std::string kept_again;
  ASSERT_EQ(MoveAsideAndRecreate(Path(), &kept_again), S_OK);
  EXPECT_NE(kept_again, kept);
  EXPECT_EQ(ReadFile(kept), "damaged content");
  EXPECT_EQ(ReadFile(kept_again), "damaged again");
  EXPECT_EQ(ConditionOf(Path()), DatabaseCondition::kHealthy);
}

TEST_F(RepairTest, AMissingDatabaseIsCreatedInANewFolderAndAStaleLogIsKeptAside) {
  const std::string path = tree_.data() + "/Quillon/Ordalis.mdb";
  std::string kept = "stale";
  ASSERT_EQ(MoveAsideAndRecreate(path, &kept), S_OK);
  EXPECT_TRUE(kept.empty());
  EXPECT_EQ(ConditionOf(path), DatabaseCondition::kHealthy);

  std::filesystem::rename(path, tree_.data() + "/elsewhere.mdb");
  WriteFile(path + "-wal", "log of a file that is gone");
  ASSERT_EQ(MoveAsideAndRecreate(path, &kept), S_OK);
  EXPECT_EQ(ReadFile(kept + "-wal"), "log of a file that is gone");
  EXPECT_FALSE(std::filesystem::exists(kept));
  EXPECT_EQ(IntegrityOf(path), "ok");
}

}  // namespace
}  // namespace trovix
