// The reading session of ITrovixReader: it serves searches like Init's
// connection, leaves the registry hive and the database file unchanged, and
// shares the open and closed states (and the refusals of bad files) with
// Init and Cleanup.
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/hresult.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "shared/itrovixreader.h"

namespace ordalis::testing {
namespace {

using trovix::testing::ReadFile;
using trovix::testing::RunProcess;

// The bytes of a file and the identity of its version on disk.
struct FileState {
  std::string bytes;
  ino_t inode = 0;
  timespec modified{};

  bool operator==(const FileState& other) const {
    return bytes == other.bytes && inode == other.inode &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
  }
};

FileState StateOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {ReadFile(path), st.st_ino, st.st_mtim};
}

class ReadingSessionTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    CreateDatabaseFile();
    Execute(
        "INSERT INTO Drives VALUES (1, 3, '/');"
        "INSERT INTO Directories VALUES (1, 'home/', 1);"
        "INSERT INTO Files (FileID, DirectoryID, Name) VALUES (1, 1, 'a.txt'), (2, 1, 'b.txt');"
        "INSERT INTO Words VALUES (1, 'alpha'), (2, 'beta');"
        "INSERT INTO FilesWords VALUES (1, 1, 3), (1, 2, 1);");
    db_ = Create();
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixReader, reader_.put_void()), S_OK);
  }
  void TearDown() override {
    reader_.reset();
    db_.reset();
    OrdalisTest::TearDown();
  }

  void Execute(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  // The rows of the catalogue and the word index, as text.
  std::string Rows() {
    std::string rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    sqlite3_exec(
        db,
        "SELECT FileID || Name FROM Files UNION ALL SELECT FileID || '/' || WordID FROM FilesWords",
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += std::string(values[0]) + "\n";
          return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    return rows;
  }

  // The counters the registry holds, or -1 for a missing value.
  static std::pair<long, long> StoredCounters() {
    RegKey key;
    DWORD indexed = 0;
    DWORD processed = 0;
    if (RegKey::Open(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key) !=
        ERROR_SUCCESS) {
      return {-1, -1};
    }
    return {key.GetDword(u"Files Indexed", &indexed) == ERROR_SUCCESS ? long(indexed) : -1,
            key.GetDword(u"Files Processed", &processed) == ERROR_SUCCESS ? long(processed) : -1};
  }
  static void StoreCounters(DWORD indexed, DWORD processed) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDwords({{u"Files Indexed", indexed}, {u"Files Processed", processed}}),
              ERROR_SUCCESS);
  }

  // The number of files the word "alpha" finds.
  UINT FilesWithAlpha() {
    UINT handle = 0;
    UINT files = 0;
    EXPECT_EQ(db_->SearchOpenWord(u"alpha", &handle), S_OK);
    EXPECT_EQ(db_->SearchGetSize(handle, &files), S_OK);
    EXPECT_EQ(db_->SearchClose(handle), S_OK);
    return files;
  }

  ComPtr<ITrovixDB> db_;
  ComPtr<ITrovixReader> reader_;
};

TEST_F(ReadingSessionTest, ASearchBetweenOpenAndCloseLeavesTheHiveAndItsCountersAsTheyWere) {
  StoreCounters(7, 9);
  const std::string hive = tree_->user_hive();
  const FileState before = StateOf(hive);
  ASSERT_FALSE(before.bytes.empty());

  ASSERT_EQ(reader_->OpenForReading(), S_OK);
  EXPECT_EQ(FilesWithAlpha(), 1u);
  UINT size = 0;
  EXPECT_EQ(db_->GetDBFileName(nullptr, &size), S_FALSE);
  // No counters were loaded: the getters that need them answer as before Init.
  UINT indexed = 0;
  EXPECT_EQ(db_->GetIndexedFileCount(&indexed), E_UNEXPECTED);
  EXPECT_EQ(reader_->CloseForReading(), S_OK);

  EXPECT_TRUE(StateOf(hive) == before) << "the hive was rewritten";
  EXPECT_EQ(StoredCounters(), std::make_pair(7L, 9L));
  // And the next writer takes the counters as they were left.
  ASSERT_EQ(db_->Init(), S_OK);
  ASSERT_EQ(db_->GetIndexedFileCount(&indexed), S_OK);
  EXPECT_EQ(indexed, 7u);
  ASSERT_EQ(db_->Cleanup(), S_OK);
}

TEST_F(ReadingSessionTest, AReadingConnectionCannotChangeTheDatabase) {
  const std::string rows = Rows();
  ASSERT_EQ(reader_->OpenForReading(), S_OK);
  EXPECT_EQ(db_->DeleteFileHard(u"/home/a.txt"), TRVX_E_ENGINE_READONLY);
  EXPECT_EQ(db_->DeleteDir(u"/home/"), TRVX_E_ENGINE_READONLY);
  EXPECT_EQ(FilesWithAlpha(), 1u) << "a refused write leaves the connection usable";
  EXPECT_EQ(reader_->CloseForReading(), S_OK);
  EXPECT_EQ(Rows(), rows);
}

TEST_F(ReadingSessionTest, ReadingAndWritingConnectionsShareOneOpenState) {
  StoreCounters(7, 9);
  ComPtr<ITrovixDB> other = Create();
  ASSERT_EQ(reader_->OpenForReading(), S_OK);
  EXPECT_EQ(reader_->OpenForReading(), E_UNEXPECTED);
  EXPECT_EQ(other->Init(), E_UNEXPECTED);
  // Cleanup closes a reading connection, and saves none of its (unloaded)
  // counters over the stored ones.
  EXPECT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(7L, 9L));
  EXPECT_EQ(reader_->CloseForReading(), E_UNEXPECTED);

  // A connection Init opened is closed by Cleanup only, which saves.
  ASSERT_EQ(other->Init(), S_OK);
  EXPECT_EQ(reader_->OpenForReading(), E_UNEXPECTED);
  EXPECT_EQ(reader_->CloseForReading(), E_UNEXPECTED);
  EXPECT_EQ(StoredCounters(), std::make_pair(-1L, -1L));
  EXPECT_EQ(other->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(7L, 9L));
}

TEST_F(ReadingSessionTest, BadDatabasesAreRefusedAsInitRefusesThem) {
  const std::string path = DatabasePath();
  std::filesystem::remove(path);
  EXPECT_EQ(reader_->OpenForReading(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists(path));

  const std::string garbage(8192, '\x5a');
  trovix::testing::WriteFile(path, garbage);
  EXPECT_EQ(reader_->OpenForReading(), TRVX_E_ENGINE_NOTADB);
  EXPECT_EQ(ReadFile(path), garbage);
  std::filesystem::remove(path);

  CreateDatabaseFile();
  Execute("UPDATE DatabaseInfo SET Value = 'other' WHERE Name = 'Password'");
  EXPECT_EQ(reader_->OpenForReading(), DB_SEC_E_AUTH_FAILED);
  std::filesystem::remove(path);
  CreateDatabaseFile();
  Execute("DROP TABLE FilesWords");
  EXPECT_EQ(reader_->OpenForReading(), DB_E_NOTABLE);
  UINT n = 0;
  EXPECT_EQ(db_->GetDBFileName(nullptr, &n), E_UNEXPECTED) << "every refusal left it closed";
}

// A writer holds the counters in memory while it runs, so the hive has none;
// a search in another process must neither recount them into the hive nor
// rewrite it at all.
TEST_F(ReadingSessionTest, ASearchingProcessLeavesTheCountersOfARunningWriterAlone) {
  StoreCounters(7, 9);
  ASSERT_EQ(db_->Init(), S_OK);
  const std::string hive = tree_->user_hive();
  const FileState during = StateOf(hive);
  ASSERT_EQ(StoredCounters(), std::make_pair(-1L, -1L));

  std::string output;
  ASSERT_EQ(RunProcess({ClientProgramPath(), "read-open", "search", "read-close"}, &output), 0)
      << output;
  EXPECT_NE(output.find("search files=1"), std::string::npos) << output;
  EXPECT_NE(output.find("read-close 0x00000000"), std::string::npos) << output;
  EXPECT_TRUE(StateOf(hive) == during) << "the searching process rewrote the hive";
  EXPECT_EQ(StoredCounters(), std::make_pair(-1L, -1L));

  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(7L, 9L));
}

}  // namespace
}  // namespace ordalis::testing
