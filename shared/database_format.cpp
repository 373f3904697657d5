#include "shared/database_format.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/wstring.h"

namespace trovix {
namespace {

constexpr char16_t kStoredPassword[] = u"x2kv7Q";

// The tables of the term index, which a database of version 1 gains when
// it is upgraded (see UpgradeDatabase). Files.Analysis tells what the term
// index holds of a file: 0 nothing yet (its words, if any, are in Words and
// FilesWords), 1 its name's terms only, 2 its name's and its text's.
// Terms.Term is the folded term (compared exactly), Terms.Bare its form
// without accents where that differs (else null). FileTerms.Freq is the
// number of times the term occurs in the text, times two, plus one when it
// is a term of the file's name; FileTerms.Positions the positions of those
// occurrences, ascending, as differences in unsigned LEB128 varints.
// FileTermsByBlock: see kFileBlockBits.
constexpr const char* kTermTables = R"sql(
CREATE INDEX FilesToAnalyse ON Files(FileID) WHERE Analysis = 0;
CREATE TABLE Terms (
  TermID INTEGER PRIMARY KEY,
  Term TEXT NOT NULL UNIQUE,
  Bare TEXT);
CREATE INDEX TermsByBare ON Terms(Bare) WHERE Bare IS NOT NULL;
CREATE TABLE FileTerms (
  FileID INTEGER NOT NULL,
  TermID INTEGER NOT NULL,
  Freq INTEGER NOT NULL,
  Positions BLOB NOT NULL,
  PRIMARY KEY (FileID, TermID)) WITHOUT ROWID;
)sql";

std::string BlockIndex() {
  return "CREATE INDEX FileTermsByBlock ON FileTerms(FileID >> " + std::to_string(kFileBlockBits) +
         ", TermID, FileID);";
}

// The statements that bring a database of `version` to the current one.
std::string UpgradeSteps(int version) {
  // Version 1 had no term index; version 2 ordered it by term first.
  if (version < 2) {
    return std::string("ALTER TABLE Files ADD COLUMN Analysis INTEGER NOT NULL DEFAULT 0;") +
           kTermTables + BlockIndex();
  }
  return "DROP INDEX IF EXISTS FileTermsByTerm;" + BlockIndex();
}

// Column order is the order the index store's statements bind. Names compare
// exactly (file names are case-sensitive on Linux); Words.Word is unique
// without regard to the case of A-Z, as the word index expects.
constexpr const char* kSchema = R"sql(
CREATE TABLE Drives (
  DriveID INTEGER PRIMARY KEY,
  Type INTEGER NOT NULL DEFAULT 0,
  Name TEXT NOT NULL);
CREATE INDEX DrivesByName ON Drives(Name);
CREATE TABLE Directories (
  DirectoryID INTEGER PRIMARY KEY,
  Name TEXT NOT NULL,
  DriveID INTEGER NOT NULL);
CREATE INDEX DirectoriesByDriveAndName ON Directories(DriveID, Name);
CREATE INDEX DirectoriesByName ON Directories(Name);
CREATE TABLE Files (
  FileID INTEGER PRIMARY KEY,
  Checksum INTEGER NOT NULL DEFAULT 0,
  SizeLo32 INTEGER NOT NULL DEFAULT 0,
  DirectoryID INTEGER NOT NULL,
  CreationDateTime REAL NOT NULL DEFAULT 0,
  ModificationDateTime REAL NOT NULL DEFAULT 0,
  LastAccessDateTime REAL NOT NULL DEFAULT 0,
  TXLastUpdate REAL NOT NULL DEFAULT 0,
  Name TEXT NOT NULL,
  TextType INTEGER NOT NULL DEFAULT 0,
  Status INTEGER NOT NULL DEFAULT 0,
  Analysis INTEGER NOT NULL DEFAULT 0);
CREATE INDEX FilesByDirectoryAndName ON Files(DirectoryID, Name);
CREATE INDEX FilesByName ON Files(Name);
CREATE INDEX FilesByChecksumAndSize ON Files(Checksum, SizeLo32);
CREATE TABLE Words (
  ID INTEGER PRIMARY KEY,
  Word TEXT NOT NULL COLLATE NOCASE UNIQUE);
CREATE TABLE FilesWords (
  FileID INTEGER NOT NULL,
  WordID INTEGER NOT NULL,
  WordCount INTEGER NOT NULL,
  PRIMARY KEY (FileID, WordID)) WITHOUT ROWID;
CREATE INDEX FilesWordsByWord ON FilesWords(WordID, FileID);
CREATE TABLE DatabaseInfo (
  Name TEXT PRIMARY KEY,
  Value TEXT NOT NULL);
)sql";

HRESULT EngineFailure(sqlite3* db) {
  return sqlite3_errcode(db) == SQLITE_CANTOPEN ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) : E_FAIL;
}

// Builds the whole database in the file at `path` (already created empty).
HRESULT BuildDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  HRESULT hr = S_OK;
  if (rc == SQLITE_OK) {
    const std::string password = Utf16ToUtf8(DatabasePassword());
    // 4 KiB pages, the engine's default. Small pages paid when every file
    // was its own transaction (each commit wrote one leaf of the
    // word-to-file index per distinct word, whole); with files written many
    // per transaction the size of a page hardly matters: a first index of
    // 2,236 HTML and text files wrote 47.9 MB with 4 KiB pages and 49.4 MB
    // with 1 KiB pages (same batches, checkpoints after the same 40 MiB of
    // log), ten changed files 11-16 MB against 9-15 MB, and the larger pages
    // give a shallower index and a slightly smaller file (23.9 against
    // 24.3 MB).
    const std::string script =
        std::string("PRAGMA page_size=4096; PRAGMA journal_mode=WAL; BEGIN IMMEDIATE;") + kSchema +
        kTermTables + BlockIndex() + "INSERT INTO DatabaseInfo VALUES ('Password', '" + password +
        "');" + "INSERT INTO DatabaseInfo VALUES ('Schema Version', '" +
        std::to_string(kDatabaseSchemaVersion) + "');" +
        "PRAGMA application_id=" + std::to_string(kDatabaseApplicationId) + ";" +
        "PRAGMA user_version=" + std::to_string(kDatabaseSchemaVersion) + "; COMMIT;";
    rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) hr = EngineFailure(db);
  // Closing the last connection checkpoints the WAL and removes it.
  if (sqlite3_close(db) != SQLITE_OK && SUCCEEDED(hr)) hr = E_FAIL;
  return hr;
}

// The home folder from the password database, for when HOME is unset.
DatabaseLocation::Failure HomeFromPasswordDatabase(std::string* home) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return DatabaseLocation::Failure::kNoUserEntry;
  }
  *home = found->pw_dir != nullptr ? found->pw_dir : "";
  return home->empty() ? DatabaseLocation::Failure::kNoHomeFolder
                       : DatabaseLocation::Failure::kNone;
}

int UserVersion(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    version = sqlite3_column_int(statement, 0);
  }
  sqlite3_finalize(statement);
  return version;
}

}  // namespace

int UpgradeDatabase(sqlite3* db) {
  const int version = UserVersion(db);
  if (version < 0) return sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errcode(db) : SQLITE_ERROR;
  if (version >= kDatabaseSchemaVersion) return SQLITE_OK;
  // Rebuilding the term-to-file index of a large database takes a while
  // (a minute or two at a million files), once.
  const std::string script = "BEGIN IMMEDIATE;" + UpgradeSteps(version) +
                             "UPDATE DatabaseInfo SET Value = '" +
                             std::to_string(kDatabaseSchemaVersion) +
                             "' WHERE Name = 'Schema Version'; PRAGMA user_version=" +
                             std::to_string(kDatabaseSchemaVersion) + "; COMMIT;";
  const int rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
  // A failed step leaves the transaction open: none of it happened.
  if (rc != SQLITE_OK && !sqlite3_get_autocommit(db)) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return rc;
}

bool HasTermTables(sqlite3* db) { return UserVersion(db) >= 2; }

DatabaseLocation DefaultDatabaseLocation() {
  DatabaseLocation location;
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') {
    location.path = std::string(data_home) + "/Quillon/" + kDatabaseFileName;
  } else {
    const char* home_env = std::getenv("HOME");
    std::string home = home_env != nullptr ? home_env : "";
    if (home.empty()) location.failure = HomeFromPasswordDatabase(&home);
    if (location.failure != DatabaseLocation::Failure::kNone) return location;
    location.path = home + "/.local/share/Quillon/" + kDatabaseFileName;
  }
  // A path cut at the limit would name another file: refuse it instead.
  if (Utf8ToUtf16(location.path).size() > MAX_PATH) {
    location.path.clear();
    location.failure = DatabaseLocation::Failure::kTooLong;
  }
  return location;
}

WString DatabasePassword() {
  WString password(kStoredPassword);
  std::reverse(password.begin(), password.end());
  return password;
}

HRESULT CreateDatabase(const std::string& path) {
  std::string temp = path + ".new-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return HresultFromErrno(errno);
  close(fd);  // mkstemp made it 0600; the engine opens it by name
  HRESULT hr = BuildDatabase(temp);
  if (SUCCEEDED(hr) && link(temp.c_str(), path.c_str()) != 0) hr = HresultFromErrno(errno);
  unlink(temp.c_str());
  for (const char* suffix : {"-wal", "-shm", "-journal"}) unlink((temp + suffix).c_str());
  return hr;
}

HRESULT MoveDatabaseFile(const std::string& from, const std::string& to) {
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(from.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  // Reading the schema runs the recovery of an interrupted write.
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  const HRESULT hr = rc == SQLITE_OK ? S_OK : EngineFailure(db);
  sqlite3_close(db);
  if (FAILED(hr)) return hr;
  struct stat st {};
  if (lstat((from + "-wal").c_str(), &st) == 0) return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    return HresultFromErrno(errno);
  }
  return S_OK;
}

}  // namespace trovix
