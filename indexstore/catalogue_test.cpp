// The catalogue against a real database and real files in a private tree.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "indexstore/checksum.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/file_info.h"
#include "platform/filetime.h"
#include "platform/hresult.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using trovix::testing::OpenDescriptorCount;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;
using Rows = std::vector<std::string>;

constexpr std::int64_t kHour = 36'000'000'000;  // FILETIME units

WString W(const std::string& utf8) { return Utf8ToUtf16(utf8); }
std::int64_t Now() { return FileTimeToInt64(GetSystemTimeAsFileTime()); }

void SetWriteTime(const std::string& path, std::int64_t filetime) {
  const timespec times[2] = {{0, UTIME_OMIT}, FileTimeToTimespec(Int64ToFileTime(filetime))};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class CatalogueTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    docs_ = tree_->home() + "/docs";
    std::filesystem::create_directories(docs_ + "/sub");
  }

  void TearDown() override {
    if (db_) static_cast<void>(db_->Cleanup());
    db_.reset();
    OrdalisTest::TearDown();
  }

  // Runs SQL on a connection of the test's own; each row's columns are
  // joined by '|'. `exact` receives the first column of the last row.
  Rows Query(const std::string& sql, double* exact = nullptr) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    Rows rows;
    sqlite3_stmt* stmt = nullptr;
    for (const char* next = sql.c_str();
         *next != 0 && sqlite3_prepare_v2(db, next, -1, &stmt, &next) == SQLITE_OK;) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
          const unsigned char* text = sqlite3_column_text(stmt, i);
          row += (i > 0 ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "");
        }
        if (exact != nullptr) *exact = sqlite3_column_double(stmt, 0);
        rows.push_back(row);
      }
      EXPECT_EQ(sqlite3_finalize(stmt), SQLITE_OK) << sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return rows;
  }

  double Date(const std::string& column) {
    double date = 0;
    Query("SELECT " + column + " FROM Files", &date);
    return date;
  }

  std::string CountRows() {
    return Query(
        "SELECT (SELECT Count(*) FROM Drives), (SELECT Count(*) FROM Directories), "
        "(SELECT Count(*) FROM Files)")[0];
  }

  // FilesProcessedCounter, as Cleanup saves it (Init takes it back).
  DWORD ProcessedCounter() {
    EXPECT_EQ(db_->Cleanup(), S_OK);
    RegKey key;
    DWORD processed = 0xDEAD;
    EXPECT_EQ(RegKey::Open(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key), 0);
    EXPECT_EQ(key.GetDword(u"Files Processed", &processed), 0);
    EXPECT_EQ(db_->Init(), S_OK);
    return processed;
  }

  std::string Log() { return ReadFile(tree_->state() + "/Quillon/trovlog.txt"); }
  std::size_t LogRecords() {
    const std::string log = Log();
    std::size_t count = 0;
    for (std::size_t at = 0; (at = log.find("\n-----------------", at)) != std::string::npos;) {
      ++count, ++at;
    }
    return count;
  }

  // The Directories.Name of a folder of the tree.
  static std::string DirName(const std::string& folder) { return folder.substr(1) + "/"; }

  HRESULT Add(const std::string& path) { return db_->AddFile(W(path).c_str()); }
  HRESULT InDB(const std::string& path) { return db_->FileInDB(W(path).c_str()); }
  HRESULT Due(const std::string& path) { return db_->FileDueForUpdate(W(path).c_str()); }
  HRESULT Update(const std::string& path) { return db_->UpdateFile(W(path).c_str()); }

  ComPtr<ITrovixDB> db_;
  std::string docs_;
};

TEST_F(CatalogueTest, AddDueAndUpdateFollowTheFile) {
  const std::string path = docs_ + "/a.txt";
  WriteFile(path, "abc");
  SetWriteTime(path, Now() - kHour);
  EXPECT_EQ(Due(path), E_FAIL);  // not catalogued
  EXPECT_EQ(Update(path), S_FALSE);
  ASSERT_EQ(Add(path), S_OK);
  EXPECT_EQ(Query("SELECT Name, Type FROM Drives"),
            Rows{"/|" + std::to_string(DriveTypeOfPath("/"))});
  EXPECT_EQ(Query("SELECT Name FROM Directories"), Rows{DirName(docs_)});
  EXPECT_EQ(Query("SELECT Checksum, SizeLo32, Name, TextType, Status FROM Files"),
            Rows{"1633837824|3|a.txt|0|0"});  // 0x61626300
  ASSERT_EQ(Add(path), S_FALSE);
  EXPECT_EQ(Due(path), S_FALSE);

  // Written exactly at the stored update time is not due; 100 ns later is.
  FILETIME stored{};
  ASSERT_TRUE(DateToFileTime(Date("TXLastUpdate"), &stored));
  SetWriteTime(path, FileTimeToInt64(stored));
  EXPECT_EQ(Due(path), S_FALSE);
  SetWriteTime(path, FileTimeToInt64(stored) + 1);
  EXPECT_EQ(Due(path), S_OK);

  // Rewritten, with a write time ahead of the clock rather than a wait.
  WriteFile(path, "ABCDE");
  const std::int64_t written = Now() + kHour;
  SetWriteTime(path, written);
  ASSERT_EQ(Update(path), S_OK);
  EXPECT_EQ(Query("SELECT Checksum, SizeLo32 FROM Files"), Rows{"21185089|5"});  // 0x01434241
  DATE expected = 0;
  ASSERT_TRUE(FileTimeToDate(Int64ToFileTime(written), &expected));
  EXPECT_EQ(Date("ModificationDateTime"), expected);
  FILETIME refreshed{};
  ASSERT_TRUE(DateToFileTime(Date("TXLastUpdate"), &refreshed));
  EXPECT_GT(FileTimeToInt64(refreshed), FileTimeToInt64(stored));
  EXPECT_EQ(Due(path), S_OK);  // still written after the update
  SetWriteTime(path, Now() - kHour);
  EXPECT_EQ(Due(path), S_FALSE);

  // Gone from the disk.
  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::size_t records = LogRecords();
  EXPECT_EQ(Due(path), E_INVALIDARG);
  EXPECT_EQ(LogRecords(), records + 1);
  EXPECT_EQ(Update(path), E_INVALIDARG);
  EXPECT_EQ(ProcessedCounter(), 1u);
}

TEST_F(CatalogueTest, RenamesAndDeletionsTouchOnlyTheNamedRow) {
  for (const char* name : {"/a.txt", "/b.txt", "/sub/c.txt"}) {
    WriteFile(docs_ + name, name);
    ASSERT_EQ(Add(docs_ + name), S_OK);
  }
  // The new path's directory is ignored: a rename never moves a file.
  ASSERT_EQ(db_->RenameFile(W(docs_ + "/a.txt").c_str(), u"/elsewhere/x/d.txt"), S_OK);
  EXPECT_EQ(InDB(docs_ + "/d.txt"), S_OK);
  EXPECT_EQ(InDB(docs_ + "/a.txt"), S_FALSE);
  EXPECT_EQ(db_->RenameFile(W(docs_ + "/none").c_str(), u"/x/e.txt"), S_OK);
  // The parent's row alone: the subdirectory's row keeps its name.
  ASSERT_EQ(db_->RenameDirectory(W(docs_ + "/").c_str(), W(tree_->home() + "/papers").c_str()),
            S_OK);
  EXPECT_EQ(Query("SELECT Name FROM Directories ORDER BY Name"),
            (Rows{DirName(docs_ + "/sub"), DirName(tree_->home() + "/papers")}));
  EXPECT_EQ(InDB(tree_->home() + "/papers/d.txt"), S_OK);
  EXPECT_EQ(db_->RenameDirectory(u"/no/such", u"/other"), S_OK);

  ASSERT_EQ(db_->DeleteFileHard(W(tree_->home() + "/papers/d.txt").c_str()), S_OK);
  EXPECT_EQ(Query("SELECT Name FROM Files ORDER BY Name"), (Rows{"b.txt", "c.txt"}));
  EXPECT_EQ(ProcessedCounter(), 2u);
  // Uncatalogued: S_OK, and the counter goes down all the same, but not below 0.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(db_->DeleteFileHard(u"/none"), S_OK);
  EXPECT_EQ(ProcessedCounter(), 0u);
  // Only the directory row goes; the file rows in it stay.
  ASSERT_EQ(db_->DeleteDir(W(docs_ + "/sub").c_str()), S_OK);
  EXPECT_EQ(db_->DirInDB(W(docs_ + "/sub").c_str()), S_FALSE);
  EXPECT_EQ(db_->DeleteDir(W(docs_ + "/sub").c_str()), S_FALSE);
  EXPECT_EQ(CountRows(), "1|1|2");
  EXPECT_EQ(Query("PRAGMA integrity_check"), Rows{"ok"});
}

TEST_F(CatalogueTest, LookupsFindExactNamesOnTheirDrive) {
  WriteFile(docs_ + "/sub/a.txt", "a");
  ASSERT_EQ(Add(docs_ + "/sub/a.txt"), S_OK);
  const WString sub = W(DirName(docs_ + "/sub"));
  Query("INSERT INTO Drives VALUES (99, 4, '/net/'); INSERT INTO Directories VALUES (500, '" +
        DirName(docs_ + "/sub") + "', 99)");
  INT drive = 0, dir = 0, dir_with_slash = 0, found = 0, file = 0, untouched = 42;
  ASSERT_EQ(db_->DriveInDB(u"/", &drive), S_OK);
  INT other = 77;
  EXPECT_EQ(db_->DriveInDB(u"/nowhere/", &other), S_FALSE);
  EXPECT_EQ(other, 0);
  ASSERT_EQ(db_->GetDirID(W(docs_ + "/sub").c_str(), &dir), S_OK);
  ASSERT_EQ(db_->GetDirID(W(docs_ + "/sub/").c_str(), &dir_with_slash), S_OK);
  EXPECT_EQ(dir, dir_with_slash);
  EXPECT_NE(dir, 500);
  EXPECT_EQ(db_->GetDirIDByNameAndDriveID(sub.c_str(), 99, &found), S_OK);
  EXPECT_EQ(found, 500);
  EXPECT_EQ(db_->GetDirIDByNameAndDriveID(u"unknown/", drive, &found), S_OK);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(db_->DirNameAndDriveIDInDB(sub.c_str(), drive), S_OK);
  EXPECT_EQ(db_->FileNameAndDirIDInDB(u"a.txt", dir), S_OK);
  EXPECT_EQ(db_->FileNameAndDirIDInDB(u"a.txt", 500), S_FALSE);
  ASSERT_EQ(db_->GetFileID(W(docs_ + "/sub/a.txt").c_str(), &file), S_OK);
  EXPECT_EQ(Query("SELECT FileID FROM Files"), Rows{std::to_string(file)});
  EXPECT_EQ(db_->GetFileID(W(docs_ + "/sub/b.txt").c_str(), &untouched), S_FALSE);
  EXPECT_EQ(untouched, 42);
  EXPECT_EQ(InDB(docs_ + "/sub/A.txt"), S_FALSE);  // names compare exactly
  EXPECT_EQ(db_->DirInDB(W(docs_ + "/SUB").c_str()), S_FALSE);
}

TEST_F(CatalogueTest, ChecksAnswerInTheirOrder) {
  const WString path = W(docs_ + "/a.txt");
  const WString too_long = u"/" + WString(MAX_PATH, u'x');
  const WString longest = u"/" + WString(MAX_PATH - 1, u'x');
  INT id = 0;
  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(db_->AddFile(nullptr), E_UNEXPECTED);  // the open flag before the argument
  EXPECT_EQ(db_->DeleteFileHard(nullptr), E_UNEXPECTED);
  EXPECT_EQ(db_->GetDirIDByNameAndDriveID(nullptr, 1, nullptr), E_UNEXPECTED);
  for (const WCHAR* bad : {static_cast<const WCHAR*>(nullptr), too_long.c_str()}) {
    for (HRESULT hr : {db_->FileInDB(bad), db_->DriveInDB(bad, &id), db_->UpdateFile(bad),
                       db_->DeleteDir(bad), db_->GetFileID(bad, &id), db_->GetDirID(bad, &id),
                       db_->DirInDB(bad), db_->FileNameAndDirIDInDB(bad, 1),
                       db_->DirNameAndDriveIDInDB(bad, 1), db_->RenameDirectory(bad, u"/a"),
                       db_->RenameFile(u"/a", bad), db_->FileDueForUpdate(bad)}) {
      EXPECT_EQ(hr, E_INVALIDARG);  // the argument before the open flag
    }
  }
  EXPECT_EQ(db_->GetFileID(path.c_str(), nullptr), E_INVALIDARG);
  const std::size_t records = LogRecords();
  EXPECT_EQ(db_->FileInDB(u""), E_INVALIDARG);  // logged
  EXPECT_EQ(db_->GetFileID(u"", &id), E_INVALIDARG);
  EXPECT_EQ(db_->FileDueForUpdate(u""), E_INVALIDARG);
  EXPECT_EQ(LogRecords(), records + 3);
  EXPECT_EQ(db_->GetDirID(u"", &id), E_UNEXPECTED);  // open flag first here
  EXPECT_EQ(db_->DirInDB(path.c_str()), S_FALSE);    // every failure is "no"
  EXPECT_EQ(db_->FileInDB(longest.c_str()), E_UNEXPECTED);

  ASSERT_EQ(db_->Init(), S_OK);
  for (const WCHAR* bad : {static_cast<const WCHAR*>(nullptr), u"", too_long.c_str(),
                           path.c_str() /* not on the disk */, u"relative/a.txt", u"/"}) {
    EXPECT_EQ(db_->AddFile(bad), E_INVALIDARG);
  }
  EXPECT_EQ(db_->DeleteFileHard(u""), E_INVALIDARG);
  EXPECT_EQ(db_->DeleteFileHard(u"/"), E_INVALIDARG);
  EXPECT_EQ(db_->GetDirIDByNameAndDriveID(nullptr, 1, &id), E_INVALIDARG);
  EXPECT_EQ(db_->GetDirIDByNameAndDriveID(u"a/", 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(db_->GetDirID(u"relative", &id), E_INVALIDARG);
  EXPECT_EQ(db_->RenameDirectory(u"", u"/b"), E_INVALIDARG);
  EXPECT_EQ(db_->RenameFile(u"/a/b.txt", u"/"), E_INVALIDARG);
  EXPECT_EQ(db_->FileInDB(longest.c_str()), S_FALSE);  // 260 units are allowed
  EXPECT_EQ(CountRows(), "0|0|0");
}

TEST_F(CatalogueTest, AddFileIsAllOrNothing) {
  // The entry exists when AddFile first looks, but its attributes cannot be
  // read once the drive and directory rows are in: a dangling link, a link to
  // a FIFO (never catalogued, nor read).
  std::filesystem::create_directories(docs_ + "/new");
  ASSERT_EQ(symlink("nowhere", (docs_ + "/new/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((docs_ + "/new/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo", (docs_ + "/new/to-fifo").c_str()), 0);
  for (const char* name : {"/new/dangling", "/new/fifo", "/new/to-fifo"}) {
    EXPECT_EQ(Add(docs_ + name), E_INVALIDARG) << name;
  }
  EXPECT_EQ(CountRows(), "0|0|0");

  // The engine refuses the Files row: logged, returned, and nothing stays.
  WriteFile(docs_ + "/new/a.txt", "a");
  Query("CREATE TRIGGER Refuse BEFORE INSERT ON Files BEGIN SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_EQ(Add(docs_ + "/new/a.txt"), TRVX_E_ENGINE_CONSTRAINT);
  EXPECT_EQ(CountRows(), "0|0|0");
  EXPECT_NE(Log().find("Description:[refused]"), std::string::npos);
  EXPECT_EQ(ProcessedCounter(), 0u);
  Query("DROP TRIGGER Refuse");
  EXPECT_EQ(Add(docs_ + "/new/a.txt"), S_OK);

  // A directory may stand where a file is expected: no content, size 0.
  ASSERT_EQ(Add(docs_ + "/sub"), S_OK);
  EXPECT_EQ(Update(docs_ + "/sub"), S_OK);
  EXPECT_EQ(Query("SELECT SizeLo32, Checksum FROM Files WHERE Name = 'sub'"), Rows{"0|0"});
  EXPECT_EQ(CountRows(), "1|2|2");
  EXPECT_EQ(Query("PRAGMA integrity_check"), Rows{"ok"});
}

TEST_F(CatalogueTest, TheDatabaseFilesAreNeverCatalogued) {
  WriteFile(docs_ + "/a.txt", "a");
  ASSERT_EQ(Add(docs_ + "/a.txt"), S_OK);  // a write, so the -wal file exists
  const std::string database = DatabasePath();
  ASSERT_EQ(symlink(database.c_str(), (docs_ + "/link.mdb").c_str()), 0);
  ASSERT_EQ(link(database.c_str(), (docs_ + "/hard.mdb").c_str()), 0);
  const int descriptors = OpenDescriptorCount();
  for (const std::string& path :
       {database, database + "-wal", database + "-shm", tree_->data() + "/Quillon/./Ordalis.mdb",
        docs_ + "/link.mdb", docs_ + "/hard.mdb"}) {
    EXPECT_EQ(Add(path), E_INVALIDARG) << path;
    EXPECT_EQ(Update(path), E_INVALIDARG) << path;
  }
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(CountRows(), "1|1|1");
  EXPECT_EQ(Query("PRAGMA integrity_check"), Rows{"ok"});
}

TEST_F(CatalogueTest, DuplicateRowsMakeRenamesFail) {
  WriteFile(docs_ + "/a.txt", "a");
  WriteFile(docs_ + "/b.txt", "b");
  ASSERT_EQ(Add(docs_ + "/a.txt"), S_OK);
  Query("INSERT INTO Directories (Name, DriveID) SELECT Name, DriveID FROM Directories");
  EXPECT_EQ(db_->DirNameAndDriveIDInDB(W(DirName(docs_)).c_str(), 1), S_FALSE);
  ASSERT_EQ(Add(docs_ + "/b.txt"), S_OK);  // under a third row of its own
  EXPECT_EQ(CountRows(), "1|3|2");
  const std::size_t records = LogRecords();
  EXPECT_EQ(db_->RenameDirectory(W(docs_).c_str(), u"/renamed"), TRVX_E_ENGINE_ERROR);
  EXPECT_EQ(LogRecords(), records + 1);
  EXPECT_EQ(Query("SELECT DISTINCT Name FROM Directories"), Rows{DirName(docs_)});

  Query(
      "INSERT INTO Files (DirectoryID, Name) SELECT DirectoryID, Name FROM Files "
      "WHERE Name = 'a.txt'");
  const int directory = std::stoi(Query("SELECT DirectoryID FROM Files WHERE Name = 'a.txt'")[0]);
  EXPECT_EQ(db_->FileNameAndDirIDInDB(u"a.txt", directory), S_OK);
  EXPECT_EQ(db_->RenameFile(W(docs_ + "/a.txt").c_str(), u"/c.txt"), TRVX_E_ENGINE_ERROR);
  EXPECT_EQ(InDB(docs_ + "/a.txt"), S_OK);
}

TEST_F(CatalogueTest, NamesAreStoredAsOnDiskAndCutTo255Units) {
  // "x", byte 0xFF, "y" (not UTF-8) next to "x" U+4FC79: an engine that
  // converted the lone surrogate itself would merge it with the "y" and
  // store both under one name.
  for (const std::string name : {"x\xFFy", "x\xF1\x8F\xB1\xB9", "zo\xC3\xAB", "A", "a"}) {
    WriteFile(docs_ + "/" + name, name);
    ASSERT_EQ(Add(docs_ + "/" + name), S_OK) << name;
    EXPECT_EQ(InDB(docs_ + "/" + name), S_OK);
    std::string hex;
    for (unsigned char c : name) hex += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    EXPECT_EQ(Query("SELECT Checksum FROM Files WHERE hex(Name) = '" + hex + "'"),
              Rows{std::to_string(std::int32_t(FileChecksum(docs_ + "/" + name)))});
  }
  // A directory part of 258 units (in a path of 260) is stored cut.
  const std::string home = tree_->home();
  ASSERT_LT(home.size(), 250u);
  const std::string folder = home + "/" + std::string(257 - home.size(), 'd');
  std::filesystem::create_directories(folder);
  WriteFile(folder + "/f", "f");
  ASSERT_EQ(Add(folder + "/f"), S_OK);
  EXPECT_EQ(Query("SELECT Name FROM Directories WHERE length(Name) > 250"),
            Rows{DirName(folder).substr(0, 255)});
  // So are names the renames write, one unit shorter where a cut would
  // split a surrogate pair.
  ASSERT_EQ(db_->RenameFile(W(docs_ + "/A").c_str(), (u"/x/" + WString(257, u'n')).c_str()), S_OK);
  const WString pair_at_cut = u"/x/" + WString(254, u'p') + u"\U0001F600";
  ASSERT_EQ(db_->RenameFile(W(docs_ + "/a").c_str(), pair_at_cut.c_str()), S_OK);
  EXPECT_EQ(Query("SELECT Name FROM Files WHERE length(Name) > 250 ORDER BY Name"),
            (Rows{std::string(255, 'n'), std::string(254, 'p')}));
}

}  // namespace
}  // namespace ordalis::testing
