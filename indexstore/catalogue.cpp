// The catalogue methods that write: AddFile, UpdateFile, DeleteFileHard,
// DeleteDir, RenameDirectory and RenameFile.
//
// Invariants the methods keep:
//  1. AddFile writes its drive, directory and file rows in one transaction:
//     a failure at any step leaves none of them.
//  2. Name columns written through ITrovixDB (AddFile, the renames) hold
//     at most kMaxNameUnits UTF-16 units; WriteFileRow, the batch's, stores
//     names whole (a folder's name there is as long as its path allows).
//  3. The database file and the engine's companions of it are never opened
//     here: the engine holds POSIX locks on them, and closing any descriptor
//     of ours on such a file would drop those locks.
//  4. files_processed follows the Files rows added and deleted,
//     files_updated counts successful refreshes; both change under the write
//     mutex.
#include "indexstore/catalogue.h"

#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstdlib>
#include <limits>
#include <memory>

#include "indexstore/checksum.h"
#include "indexstore/index_store_module.h"
#include "indexstore/path_split.h"
#include "indexstore/trovix_db.h"
#include "platform/error_info.h"
#include "platform/file_info.h"
#include "platform/filetime.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

using catalogue::BindAll;
using catalogue::PathArgument;
using catalogue::Raise;

constexpr std::size_t kMaxNameUnits = 255;

// SQLite allows no table name before a column in SET, so the assignments of
// the refresh and the renames name bare columns; the rest is as ever.
constexpr const char* kRefreshFile =
    "\tUPDATE Files \tSET \t\tCreationDateTime = (?), \t\tModificationDateTime = (?), "
    "\t\tLastAccessDateTime = (?), \t\tTXLastUpdate = (?), \t\tChecksum = (?), "
    "\t\tSizeLo32 = (?), \t\tTextType = (?) \tWHERE \t\tFiles.FileID = (?)";
constexpr const char* kDeleteDirectory =
    "\t\t\tDELETE FROM Directories \t\t\tWHERE \t\t\tDirectories.DirectoryID=(?);";
constexpr const char* kDeleteFile =
    "\t\t\t   delete from files where \t\t\t   files.fileid in \t\t\t   (select files.fileid "
    "from files, directories, drives  where \t\t\t   drives.name = ? and \t\t\t   "
    "directories.name = ? and \t\t\t   files.name = ? and \t\t\t   files.directoryid = "
    "directories.directoryid and \t\t\t   directories.driveid = drives.driveid);";
constexpr const char* kRenameDirectory =
    "\t\t\tUPDATE \t\t\tDirectories \t\t\tSET \t\t\tName = (?) \t\t\tWHERE "
    "\t\t\tDirectories.DirectoryID = \t\t\t(\t\t\t Select Directories.DirectoryID from "
    "directories, drives \t\t\t where Drives.Name=(?) \t\t\t And Directories.Name=(?) \t\t\t And "
    "Drives.DriveID = Directories.DriveID) \t\t\t ";
constexpr const char* kRenameFile =
    "\t\t\tUPDATE \t\t\tFiles \t\t\tSET \t\t\tName = (?) \t\t\tWHERE \t\t\tFiles.FileID = "
    "\t\t\t(\t\t\t Select Files.FileID from files, directories, drives \t\t\t where "
    "Drives.Name=(?) \t\t\t And Directories.Name=(?) \t\t\t And Files.Name = (?) \t\t\t And "
    "Drives.DriveID = Directories.DriveID \t\t\t And Files.DirectoryID = "
    "Directories.DirectoryID)\t\t\t ";
// The rows the subqueries of the renames select. A scalar subquery of SQLite
// quietly takes its first row, where the rename must fail instead when there
// are several (duplicate directory rows), so they are counted first.
constexpr const char* kCountDirectoriesToRename =
    "SELECT Count(*) from directories, drives where Drives.Name=(?) And Directories.Name=(?) "
    "And Drives.DriveID = Directories.DriveID";
constexpr const char* kCountFilesToRename =
    "SELECT Count(*) from files, directories, drives where Drives.Name=(?) And "
    "Directories.Name=(?) And Files.Name = (?) And Drives.DriveID = Directories.DriveID And "
    "Files.DirectoryID = Directories.DirectoryID";
constexpr const char* kInsertDrive = "INSERT INTO Drives (Type, Name) VALUES (?, ?)";
constexpr const char* kInsertDirectory = "INSERT INTO Directories (Name, DriveID) VALUES (?, ?)";
// TextType is written as 0; Status keeps its default.
constexpr const char* kInsertFile =
    "INSERT INTO Files (Checksum, SizeLo32, DirectoryID, CreationDateTime, "
    "ModificationDateTime, LastAccessDateTime, TXLastUpdate, Name, TextType) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

// The first kMaxNameUnits units of `name`, one fewer when the cut would split
// a surrogate pair (half a pair would name a character nobody wrote).
std::u16string_view CutName(std::u16string_view name) {
  if (name.size() <= kMaxNameUnits) return name;
  const char16_t last = name[kMaxNameUnits - 1];
  const bool splits_pair = last >= 0xD800 && last <= 0xDBFF;
  return name.substr(0, splits_pair ? kMaxNameUnits - 1 : kMaxNameUnits);
}

}  // namespace

bool NamesDatabaseFile(const std::string& path) {
  const std::string database = Utf16ToUtf8(Module().db_path);
  struct stat candidate {};
  if (database.empty() || stat(path.c_str(), &candidate) != 0) return false;
  const std::unique_ptr<char, decltype(&std::free)> canonical(realpath(path.c_str(), nullptr),
                                                              &std::free);
  const std::unique_ptr<char, decltype(&std::free)> canonical_database(
      realpath(database.c_str(), nullptr), &std::free);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    struct stat file {};
    if (stat((database + suffix).c_str(), &file) == 0 && file.st_dev == candidate.st_dev &&
        file.st_ino == candidate.st_ino) {
      return true;
    }
    if (canonical && canonical_database &&
        std::string(canonical.get()) == std::string(canonical_database.get()) + suffix) {
      return true;
    }
  }
  return false;
}

bool ReadCatalogueAttributes(const std::string& path, FileAttributes* attributes) {
  return ReadFileAttributes(path, attributes) == 0 &&
         (attributes->regular || attributes->directory);
}

namespace {

DATE ToDate(FILETIME time, int line) {
  DATE date = 0;
  // A time the calendar cannot hold is logged and stored as date 0.
  if (!FileTimeToDate(time, &date)) LogFailure(Module().log_path, __FILE__, line, E_FAIL);
  return date;
}

}  // namespace

// The update time is taken before the content is read: a write during the
// read then leaves the file due for another update.
FileRow FileRowFor(const FileAttributes& attributes, const std::string& path) {
  FileRow row{};
  row.tx_last_update = ToDate(GetSystemTimeAsFileTime(), __LINE__);
  row.creation = ToDate(attributes.creation, __LINE__);
  row.modification = ToDate(attributes.last_write, __LINE__);
  row.last_access = ToDate(attributes.last_access, __LINE__);
  // A directory has no content: size 0 and checksum 0, as a file system that
  // reports no size for directories gives them.
  const std::uint64_t size = attributes.directory ? 0 : attributes.size;
  row.size_lo32 = static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
  row.checksum = static_cast<std::int32_t>(attributes.directory ? 0 : FileChecksum(path));
  return row;
}

namespace {

// The identity the last insert assigned; identifiers are 32-bit in the
// interface.
INT InsertedId(Engine& engine) {
  const std::int64_t id = engine.LastInsertId();
  if (id <= 0 || id > std::numeric_limits<INT>::max()) Raise(E_FAIL, __FILE__, __LINE__);
  return static_cast<INT>(id);
}

// How the names of a new row are written (invariant 2).
enum class Names { kCut, kWhole };

std::u16string_view Written(std::u16string_view name, Names names) {
  return names == Names::kCut ? CutName(name) : name;
}

INT FindOrAddDrive(TrovixDB& db, Engine& engine, const WString& drive, Names names) {
  INT id = 0;
  if (ORDALIS_CHECK(db.DriveInDB(drive.c_str(), &id)) == S_OK) return id;
  Statement insert(engine, kInsertDrive);
  const auto type = static_cast<std::int32_t>(DriveTypeOfPath(Utf16ToUtf8(drive)));
  ORDALIS_CHECK(BindAll(insert, type, Written(drive, names)));
  ORDALIS_CHECK(insert.Step());
  return InsertedId(engine);
}

// The directory is looked up whole in both cases: a cut name is found only
// where its cut is the whole name.
INT FindOrAddDirectory(Engine& engine, const WString& directory, INT drive_id, Names names) {
  INT id = 0;
  if (catalogue::SingleDirectoryId(directory, drive_id, &id) == S_OK) return id;
  Statement insert(engine, kInsertDirectory);
  ORDALIS_CHECK(BindAll(insert, Written(directory, names), drive_id));
  ORDALIS_CHECK(insert.Step());
  return InsertedId(engine);
}

void InsertFile(Engine& engine, const FileRow& row, INT directory_id, const WString& name,
                Names names) {
  Statement insert(engine, kInsertFile);
  ORDALIS_CHECK(BindAll(insert, row.checksum, row.size_lo32, directory_id, row.creation,
                        row.modification, row.last_access, row.tx_last_update, Written(name, names),
                        std::int32_t{0}));
  ORDALIS_CHECK(insert.Step());
}

// AddFile from the transaction on. The transaction rolls back on every way
// out but the commit, undoing a drive or directory row added on the way.
HRESULT AddRows(TrovixDB& db, const PathParts& parts, const std::string& path) {
  Engine& engine = Module().engine();
  Transaction transaction(engine);
  ORDALIS_CHECK(transaction.status());
  const INT drive_id = FindOrAddDrive(db, engine, parts.drive, Names::kCut);
  const INT directory_id = FindOrAddDirectory(engine, parts.directory, drive_id, Names::kCut);
  if (ORDALIS_CHECK(db.FileNameAndDirIDInDB(parts.file.c_str(), directory_id)) == S_OK) {
    return S_FALSE;
  }
  // Read again after the lookups: the first look did not follow a final
  // link, and the file may have gone since.
  FileAttributes attributes{};
  if (!ReadCatalogueAttributes(path, &attributes)) return E_INVALIDARG;
  InsertFile(engine, FileRowFor(attributes, path), directory_id, parts.file, Names::kCut);
  ORDALIS_CHECK(transaction.Commit());
  ++Module().files_processed;
  return S_OK;
}

// What AddFile accepts: an existing regular file, directory or symbolic link
// (whose target is judged when the attributes are read), not the database.
bool AddableEntry(const std::string& path) {
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) return false;
  if (!S_ISREG(entry.st_mode) && !S_ISDIR(entry.st_mode) && !S_ISLNK(entry.st_mode)) {
    return false;
  }
  return !NamesDatabaseFile(path);
}

// A rename's subquery must select at most one row; more is an error, as a
// scalar subquery returning several rows is for the engines that check it.
template <typename... Values>
void RequireSingleTarget(const char* count_sql, const Values&... values) {
  Statement count(Module().engine(), count_sql);
  ORDALIS_CHECK(BindAll(count, values...));
  if (catalogue::CountOf(count) > 1) {
    SetErrorInfo({u"Ordalis catalogue", u"At most one record can be returned by this subquery."});
    Raise(TRVX_E_ENGINE_ERROR, __FILE__, __LINE__);
  }
}

// The drive of a rename must be reachable: its file system answers statfs.
void RequireReachableRoot(const WString& drive) {
  struct statfs fs {};
  if (statfs(Utf16ToUtf8(drive).c_str(), &fs) != 0) Raise(E_INVALIDARG, __FILE__, __LINE__);
}

}  // namespace

INT WriteFileRow(TrovixDB& db, const PathParts& parts, const FileRow& row, INT file_id) {
  Engine& engine = Module().engine();
  if (file_id != 0) {
    Statement refresh(engine, kRefreshFile);
    ORDALIS_CHECK(BindAll(refresh, row.creation, row.modification, row.last_access,
                          row.tx_last_update, row.checksum, row.size_lo32, std::int32_t{0},
                          file_id));
    ORDALIS_CHECK(refresh.Step());
    return file_id;
  }
  const INT drive_id = FindOrAddDrive(db, engine, parts.drive, Names::kWhole);
  const INT directory_id = FindOrAddDirectory(engine, parts.directory, drive_id, Names::kWhole);
  InsertFile(engine, row, directory_id, parts.file, Names::kWhole);
  return InsertedId(engine);
}

HRESULT TrovixDB::AddFile(const WCHAR* sFile) {
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  std::u16string_view path;
  if (!PathArgument(sFile, &path) || path.empty()) return E_INVALIDARG;
  const std::string os_path = Utf16ToUtf8(path);
  if (!AddableEntry(os_path)) return E_INVALIDARG;
  PathParts parts;
  if (!SplitPath(path, &parts)) return E_INVALIDARG;
  return RunLogged([&] { return AddRows(*this, parts, os_path); });
}

HRESULT TrovixDB::UpdateFile(const WCHAR* szFN) {
  std::u16string_view path;
  if (!PathArgument(szFN, &path)) return E_INVALIDARG;
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  const std::string os_path = Utf16ToUtf8(path);
  FileAttributes attributes{};
  if (NamesDatabaseFile(os_path) || !ReadCatalogueAttributes(os_path, &attributes)) {
    return E_INVALIDARG;
  }
  const FileRow row = FileRowFor(attributes, os_path);
  INT file_id = 0;
  return RunLogged([&] {
    if (ORDALIS_CHECK(GetFileID(szFN, &file_id)) != S_OK) return S_FALSE;
    Engine& engine = Module().engine();
    Transaction transaction(engine);
    ORDALIS_CHECK(transaction.status());
    Statement refresh(engine, kRefreshFile);
    ORDALIS_CHECK(BindAll(refresh, row.creation, row.modification, row.last_access,
                          row.tx_last_update, row.checksum, row.size_lo32, std::int32_t{0},
                          file_id));
    ORDALIS_CHECK(refresh.Step());
    ORDALIS_CHECK(transaction.Commit());
    ++Module().files_updated;
    return S_OK;
  });
}

// An empty or rootless path is refused with E_INVALIDARG, as one without a
// last component is.
HRESULT TrovixDB::DeleteFileHard(const WCHAR* sFile) {
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  std::u16string_view path;
  if (!PathArgument(sFile, &path)) return E_INVALIDARG;
  PathParts parts;
  if (!SplitPath(path, &parts)) return E_INVALIDARG;
  return RunLogged([&] {
    Statement remove(Module().engine(), kDeleteFile);
    ORDALIS_CHECK(BindAll(remove, parts.drive, parts.directory, parts.file));
    ORDALIS_CHECK(remove.Step());
    // Lowered whether or not a row matched, as callers delete only what
    // they catalogued; but never below 0, which would wrap to 4 billion.
    if (Module().files_processed > 0) --Module().files_processed;
    return S_OK;
  });
}

HRESULT TrovixDB::DeleteDir(const WCHAR* sDir) {
  std::u16string_view path;
  if (!PathArgument(sDir, &path)) return E_INVALIDARG;
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  INT directory_id = 0;
  return RunLogged([&] {
    if (ORDALIS_CHECK(GetDirID(sDir, &directory_id)) != S_OK) return S_FALSE;
    // Only this row goes: its files and subdirectories keep theirs.
    Statement remove(Module().engine(), kDeleteDirectory);
    ORDALIS_CHECK(BindAll(remove, directory_id));
    ORDALIS_CHECK(remove.Step());
    return S_OK;
  });
}

// Empty or rootless paths are refused with E_INVALIDARG (logged).
HRESULT TrovixDB::RenameDirectory(const WCHAR* sOld, const WCHAR* sNew) {
  std::u16string_view old_path;
  std::u16string_view new_path;
  if (!PathArgument(sOld, &old_path) || !PathArgument(sNew, &new_path)) return E_INVALIDARG;
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  return RunLogged([&] {
    PathParts from;
    PathParts to;  // its drive is ignored: a rename stays on its drive
    if (!SplitDirectoryPath(old_path, &from) || !SplitDirectoryPath(new_path, &to)) {
      Raise(E_INVALIDARG, __FILE__, __LINE__);
    }
    RequireReachableRoot(from.drive);
    RequireSingleTarget(kCountDirectoriesToRename, from.drive, from.directory);
    // Only the row of exactly this name: subdirectory rows keep their names.
    Statement rename(Module().engine(), kRenameDirectory);
    ORDALIS_CHECK(BindAll(rename, CutName(to.directory), from.drive, from.directory));
    ORDALIS_CHECK(rename.Step());
    return S_OK;
  });
}

// Empty paths and paths without a root or a last component are refused with
// E_INVALIDARG (logged).
HRESULT TrovixDB::RenameFile(const WCHAR* sOld, const WCHAR* sNew) {
  std::u16string_view old_path;
  std::u16string_view new_path;
  if (!PathArgument(sOld, &old_path) || !PathArgument(sNew, &new_path)) return E_INVALIDARG;
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  return RunLogged([&] {
    PathParts from;
    PathParts to;  // only its last component counts: a rename never moves a file
    if (!SplitPath(old_path, &from) || !SplitPath(new_path, &to)) {
      Raise(E_INVALIDARG, __FILE__, __LINE__);
    }
    RequireReachableRoot(from.drive);
    RequireSingleTarget(kCountFilesToRename, from.drive, from.directory, from.file);
    Statement rename(Module().engine(), kRenameFile);
    ORDALIS_CHECK(BindAll(rename, CutName(to.file), from.drive, from.directory, from.file));
    ORDALIS_CHECK(rename.Step());
    return S_OK;
  });
}

}  // namespace ordalis
