// The catalogue methods that only read: FileInDB, DriveInDB, GetFileID,
// GetDirID, DirInDB, FileNameAndDirIDInDB, DirNameAndDriveIDInDB,
// GetDirIDByNameAndDriveID and FileDueForUpdate.
//
// The argument checks and the test of the open flag come in a fixed order
// per method, and callers see it: a null path answers E_INVALIDARG from a
// closed database for most of them, E_UNEXPECTED for a few. GetFileID and
// GetDirID leave their out-parameter alone unless they answer S_OK.
#include <limits>

#include "indexstore/catalogue.h"
#include "indexstore/index_store_module.h"
#include "indexstore/path_split.h"
#include "indexstore/trovix_db.h"
#include "platform/file_info.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace ordalis {
namespace catalogue {
namespace {

// At most two rows: enough to tell one from several.
constexpr const char* kDirectoryRows = R"sql(
SELECT DirectoryID FROM Directories WHERE Name = ? AND DriveID = ? LIMIT 2)sql";

}  // namespace

bool PathArgument(const WCHAR* s, std::u16string_view* view) {
  if (s == nullptr) return false;
  const std::size_t length = WcsLenCapped(s, MAX_PATH);
  if (length > MAX_PATH) return false;
  *view = std::u16string_view(s, length);
  return true;
}

bool LongPathArgument(const WCHAR* s, std::u16string_view* view) {
  if (s == nullptr) return false;
  const std::size_t length = WcsLenCapped(s, trovix::kMaxCataloguedPathBytes);
  if (length > trovix::kMaxCataloguedPathBytes) return false;
  const std::u16string_view path(s, length);
  if (!trovix::FitsCatalogue(Utf16ToUtf8(path))) return false;
  *view = path;
  return true;
}

HRESULT SingleDirectoryId(std::u16string_view name, INT drive_id, INT* id) {
  Statement lookup(IndexStoreModule::Get().engine(), kDirectoryRows);
  ORDALIS_CHECK(BindAll(lookup, name, drive_id));
  INT first = 0;
  if (FirstId(lookup, 0, &first) != S_OK) return S_FALSE;
  if (ORDALIS_CHECK(lookup.Step()) == S_OK) return S_FALSE;  // a second row
  *id = first;
  return S_OK;
}

HRESULT LoggedInvalidArgument(const char* file, int line) {
  LogFailure(IndexStoreModule::Get().log_path, file, line, E_INVALIDARG);
  return E_INVALIDARG;
}

HRESULT FirstId(Statement& lookup, int column, INT* id) {
  const HRESULT hr = ORDALIS_CHECK(lookup.Step());
  if (hr == DB_S_ENDOFROWSET) return S_FALSE;
  if (hr != S_OK) return E_FAIL;
  const std::int64_t value = lookup.ColumnInt(column);
  if (value == 0) return S_FALSE;
  // Identifiers cross the interface as 32-bit integers.
  if (value < std::numeric_limits<INT>::min() || value > std::numeric_limits<INT>::max()) {
    Raise(E_FAIL, __FILE__, __LINE__);
  }
  *id = static_cast<INT>(value);
  return S_OK;
}

std::int64_t CountOf(Statement& count) {
  // A count always yields its one row.
  if (ORDALIS_CHECK(count.Step()) != S_OK) Raise(E_FAIL, __FILE__, __LINE__);
  return count.ColumnInt(0);
}

}  // namespace catalogue

namespace {

using catalogue::BindAll;
using catalogue::FirstId;
using catalogue::LoggedInvalidArgument;
using catalogue::PathArgument;

constexpr const char* kDriveLookup =
    " \tSELECT \t\tDriveID, \t\tType, \t\tName  \t\tFROM Drives WHERE Drives.Name = (?)";
// All fifteen columns; the callers read FileID (6) and TXLastUpdate (13).
constexpr const char* kFileLookup =
    " \tSELECT \t\tDrives.DriveID, \t\tDrives.Type, \t\tDrives.Name, \t\tDirectories.DirectoryID, "
    "\t\tDirectories.Name, \t\tDirectories.DriveID, \t\tFiles.FileID, \t\tFiles.Checksum, "
    "\t\tFiles.SizeLo32, \t\tFiles.DirectoryID, \t\tFiles.CreationDateTime, "
    "\t\tFiles.ModificationDateTime, \t\tFiles.LastAccessDateTime, \t\tFiles.TXLastUpdate, "
    "\t\tFiles.Name \t\tFROM  Drives, Directories, Files \t\tWHERE Drives.Name=(?) \t\tAnd "
    "Directories.Name=(?) \t\tAnd Files.Name=(?) \t\tAnd Files.DirectoryID = "
    "Directories.DirectoryID \t\tAnd Drives.DriveID = Directories.DriveID;";
constexpr int kFileIdColumn = 6;
constexpr int kTxLastUpdateColumn = 13;
constexpr const char* kFileCount =
    "\t\t\tSELECT \t\t\tCount(*) \t\t\tFROM \t\t\tFiles \t\t\tWHERE \t\t\tFiles.Name=(?) \t\t\tAnd "
    "Files.DirectoryID = (?)";
constexpr const char* kFileIdLookup =
    "\t\t\tSELECT \t\t\tFileID \t\t\tFROM \t\t\tDrives, Directories, Files \t\t\tWHERE "
    "\t\t\tDrives.Name=(?) and \t\t\tDirectories.Name=(?) and \t\t\tFiles.Name=(?)and "
    "\t\t\tfiles.directoryid = directories.directoryid and \t\t\tdirectories.driveid = "
    "drives.driveid";
constexpr const char* kDirectoryIdLookup =
    "\t\t\tSELECT \t\t\tDirectoryID \t\t\tFROM \t\t\tDrives, Directories \t\t\tWHERE "
    "\t\t\tDrives.Name=(?) and \t\t\tDirectories.Name=(?) and "
    "\t\t\tDirectories.DriveID=Drives.DriveID";
constexpr const char* kDirectoryIdByDriveIdLookup =
    "\t\t\tSELECT \t\t\tDirectoryID \t\t\tFROM \t\t\tDrives, Directories \t\t\tWHERE "
    "\t\t\tDrives.DriveID = (?) and \t\t\tDirectories.Name = (?) and "
    "\t\t\tDirectories.DriveID=Drives.DriveID";
constexpr const char* kDirectoryCount =
    "\t\t\tSELECT \t\t\tCount(*) \t\t\tFROM \t\t\tDirectories \t\t\tWHERE "
    "\t\t\tDirectories.Name=(?) \t\t\tAnd Directories.DriveID = (?)";

Engine& TheEngine() { return IndexStoreModule::Get().engine(); }
bool DatabaseOpen() { return IndexStoreModule::Get().database_open; }

// FILETIME as the unsigned 64-bit number it stands for.
std::uint64_t Ticks(FILETIME ft) {
  return static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

}  // namespace

HRESULT TrovixDB::FileInDB(const WCHAR* sFile) {
  std::u16string_view path;
  if (!PathArgument(sFile, &path)) return E_INVALIDARG;
  PathParts parts;
  if (!SplitPath(path, &parts)) return LoggedInvalidArgument(__FILE__, __LINE__);
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  return RunLogged([&] {
    Statement lookup(TheEngine(), kFileLookup);
    ORDALIS_CHECK(BindAll(lookup, parts.drive, parts.directory, parts.file));
    INT id = 0;
    return FirstId(lookup, kFileIdColumn, &id);
  });
}

HRESULT TrovixDB::DriveInDB(const WCHAR* sDrive, INT* pDriveID) {
  std::u16string_view drive;
  if (!PathArgument(sDrive, &drive)) return E_INVALIDARG;
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  if (pDriveID != nullptr) *pDriveID = 0;
  return RunLogged([&] {
    Statement lookup(TheEngine(), kDriveLookup);
    ORDALIS_CHECK(BindAll(lookup, drive));
    INT id = 0;
    const HRESULT hr = FirstId(lookup, 0, &id);
    if (hr == S_OK && pDriveID != nullptr) *pDriveID = id;
    return hr;
  });
}

HRESULT TrovixDB::GetFileID(const WCHAR* sFile, INT* pID) {
  std::u16string_view path;
  if (!PathArgument(sFile, &path) || pID == nullptr) return E_INVALIDARG;
  PathParts parts;
  if (!SplitPath(path, &parts)) return LoggedInvalidArgument(__FILE__, __LINE__);
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  return RunLogged([&] {
    Statement lookup(TheEngine(), kFileIdLookup);
    ORDALIS_CHECK(BindAll(lookup, parts.drive, parts.directory, parts.file));
    return FirstId(lookup, 0, pID);
  });
}

// A null pID is refused with the null path, as GetFileID refuses it.
HRESULT TrovixDB::GetDirID(const WCHAR* sDir, INT* pID) {
  std::u16string_view path;
  if (!PathArgument(sDir, &path) || pID == nullptr) return E_INVALIDARG;
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  PathParts parts;
  if (!SplitDirectoryPath(path, &parts)) return LoggedInvalidArgument(__FILE__, __LINE__);
  return RunLogged([&] {
    Statement lookup(TheEngine(), kDirectoryIdLookup);
    ORDALIS_CHECK(BindAll(lookup, parts.drive, parts.directory));
    return FirstId(lookup, 0, pID);
  });
}

HRESULT TrovixDB::DirInDB(const WCHAR* sDir) {
  std::u16string_view path;
  if (!PathArgument(sDir, &path)) return E_INVALIDARG;
  WriteLock lock;
  INT id = 0;
  const HRESULT hr = GetDirID(sDir, &id);
  return FAILED(hr) ? S_FALSE : hr;
}

HRESULT TrovixDB::FileNameAndDirIDInDB(const WCHAR* sFN, INT nDirID) {
  std::u16string_view name;
  if (!PathArgument(sFN, &name)) return E_INVALIDARG;
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  return RunLogged([&] {
    Statement count(TheEngine(), kFileCount);
    ORDALIS_CHECK(BindAll(count, name, nDirID));
    // Two rows of one name in one directory still mean "catalogued".
    return catalogue::CountOf(count) >= 1 ? S_OK : S_FALSE;
  });
}

HRESULT TrovixDB::DirNameAndDriveIDInDB(const WCHAR* sDir, INT nDriveID) {
  std::u16string_view name;
  if (!PathArgument(sDir, &name)) return E_INVALIDARG;
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  return RunLogged([&] {
    Statement count(TheEngine(), kDirectoryCount);
    ORDALIS_CHECK(BindAll(count, name, nDriveID));
    // Duplicate rows answer "no", so AddFile files under a row of its own.
    return catalogue::CountOf(count) == 1 ? S_OK : S_FALSE;
  });
}

// sDir (null or over-long) and a null pDirId are refused with E_INVALIDARG,
// after the open flag, the one check callers rely on.
HRESULT TrovixDB::GetDirIDByNameAndDriveID(const WCHAR* sDir, INT nDriveID, INT* pDirId) {
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  std::u16string_view name;
  if (!PathArgument(sDir, &name) || pDirId == nullptr) return E_INVALIDARG;
  return RunLogged([&] {
    Statement lookup(TheEngine(), kDirectoryIdByDriveIdLookup);
    ORDALIS_CHECK(BindAll(lookup, nDriveID, name));
    INT id = 0;
    const HRESULT hr = FirstId(lookup, 0, &id);
    if (FAILED(hr)) return hr;
    *pDirId = id;  // 0 when no row matches, still S_OK
    return S_OK;
  });
}

// The file's last-write time is read with statx rather than through an open
// descriptor: asked about the database file, an open and close of ours would
// drop the engine's locks on it.
HRESULT TrovixDB::FileDueForUpdate(const WCHAR* sFile) {
  std::u16string_view path;
  if (!PathArgument(sFile, &path)) return E_INVALIDARG;
  PathParts parts;
  if (!SplitPath(path, &parts)) return LoggedInvalidArgument(__FILE__, __LINE__);
  WriteLock lock;
  if (!DatabaseOpen()) return E_UNEXPECTED;
  return RunLogged([&] {
    Statement lookup(TheEngine(), kFileLookup);
    ORDALIS_CHECK(BindAll(lookup, parts.drive, parts.directory, parts.file));
    INT id = 0;
    if (FirstId(lookup, kFileIdColumn, &id) != S_OK) return E_FAIL;
    FILETIME stored{};
    if (!DateToFileTime(lookup.ColumnDouble(kTxLastUpdateColumn), &stored)) {
      catalogue::Raise(E_INVALIDARG, __FILE__, __LINE__);
    }
    FileAttributes attributes{};
    if (ReadFileAttributes(Utf16ToUtf8(path), &attributes) != 0) {
      catalogue::Raise(E_INVALIDARG, __FILE__, __LINE__);
    }
    return Ticks(stored) < Ticks(attributes.last_write) ? S_OK : S_FALSE;
  });
}

}  // namespace ordalis
