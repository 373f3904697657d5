// Files with equal content: FindFirstDuplicateFile, FindNextDuplicateFile and
// FindCloseDuplicateFile.
//
// Duplicates are catalogued files whose stored checksum and size equal those
// of the given file now; contents are not compared. An enumeration reads all
// its paths when it is opened and keeps them in memory: no statement stays
// open between calls, so an enumeration holds no read transaction (which
// would hold back the engine's checkpoints and a compaction) and survives the
// connection being closed and reopened. The price is memory for the whole
// list, which is small unless very many files share one content (empty
// files do).
//
// Handles are non-zero 32-bit values, unique among the enumerations open in
// the process; a handle that is not open answers E_INVALIDARG.
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "indexstore/catalogue.h"
#include "indexstore/checksum.h"
#include "indexstore/index_store_module.h"
#include "indexstore/trovix_db.h"
#include "platform/file_info.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

constexpr const char* kDuplicates =
    "\tselect drives.Name || directories.name || files.name \tfrom drives, directories, files "
    "where \tfiles.checksum = (?) and \tfiles.sizelo32 = (?) and \tfiles.directoryid = "
    "directories.directoryid and \tdirectories.driveid = drives.driveid;";

struct DuplicateEnumeration {
  std::vector<WString> paths;  // in the database's order
  std::size_t next = 0;        // the row the next move reaches
};

// The process's open enumerations. Guarded by its own mutex, as the write
// mutex the methods hold may be unusable (it then serialises nothing).
class EnumerationTable {
 public:
  // Takes `enumeration` and answers its new handle; throws std::bad_alloc.
  UINT Add(DuplicateEnumeration enumeration) {
    std::lock_guard<std::mutex> guard(mutex_);
    do {
      ++last_;
    } while (last_ == 0 || entries_.contains(last_));
    entries_.emplace(last_, std::move(enumeration));
    return last_;
  }

  // Moves enumeration `handle` to its next row: S_OK with the row's path,
  // DB_S_ENDOFROWSET after the last row, E_INVALIDARG for a handle not open.
  HRESULT Move(UINT handle, WString* path) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = entries_.find(handle);
    if (found == entries_.end()) return E_INVALIDARG;
    return MoveIn(found->second, path);
  }

  bool Remove(UINT handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.erase(handle) == 1;
  }

  // Each row is reached once, so its path is moved out rather than copied.
  static HRESULT MoveIn(DuplicateEnumeration& enumeration, WString* path) {
    if (enumeration.next >= enumeration.paths.size()) return DB_S_ENDOFROWSET;
    *path = std::move(enumeration.paths[enumeration.next++]);
    return S_OK;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<UINT, DuplicateEnumeration> entries_;
  UINT last_ = 0;
};

EnumerationTable& Enumerations() {
  static EnumerationTable table;
  return table;
}

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

// True when `path` is the database file or one of the engine's companions
// of it, by file identity. Such a file is never read here: closing our
// descriptor on it would drop the engine's POSIX locks.
bool IsDatabaseFile(const std::string& path) {
  struct stat candidate {};
  if (stat(path.c_str(), &candidate) != 0) return false;
  const std::string database = Utf16ToUtf8(Module().db_path);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    struct stat file {};
    if (!database.empty() && stat((database + suffix).c_str(), &file) == 0 &&
        file.st_dev == candidate.st_dev && file.st_ino == candidate.st_ino) {
      return true;
    }
  }
  return false;
}

// All rows of the duplicate statement; a failure is raised.
HRESULT ReadDuplicates(std::int32_t checksum, std::int32_t size, std::vector<WString>* paths) {
  Statement select(Module().engine(), kDuplicates);
  ORDALIS_CHECK(catalogue::BindAll(select, checksum, size));
  while (ORDALIS_CHECK(select.Step()) == S_OK) paths->push_back(select.ColumnText(0));
  return S_OK;
}

// Clears `cch` units of `buffer` and copies `path` with its terminator: a
// path that does not fit whole answers E_INVALIDARG, as a cut path would name
// another file.
HRESULT DeliverPath(const WString& path, WCHAR* buffer, UINT cch) {
  std::fill_n(buffer, cch, WCHAR{0});
  if (path.size() >= cch) return E_INVALIDARG;
  std::copy(path.begin(), path.end(), buffer);
  return S_OK;
}

}  // namespace

// The file's content is read before the write mutex is taken: a large file
// would otherwise hold back every database call of every process.
HRESULT TrovixDB::FindFirstDuplicateFile(const WCHAR* sFile, WCHAR* sOutFile, UINT cch,
                                         UINT* pHandle) {
  std::u16string_view path;
  if (pHandle == nullptr || !catalogue::PathArgument(sFile, &path) || sOutFile == nullptr) {
    return E_INVALIDARG;
  }
  const std::string os_path = Utf16ToUtf8(path);
  FileAttributes attributes{};
  if (ReadFileAttributes(os_path, &attributes) != 0 || IsDatabaseFile(os_path)) {
    *pHandle = 0;
    return E_INVALIDARG;
  }
  if (!Module().database_open) return E_UNEXPECTED;
  const auto checksum = static_cast<std::int32_t>(FileChecksum(os_path));
  const auto size = static_cast<std::int32_t>(static_cast<std::uint32_t>(attributes.size));
  WriteLock lock;
  if (!Module().database_open) return E_UNEXPECTED;
  DuplicateEnumeration enumeration;
  HRESULT hr = RunLogged([&] { return ReadDuplicates(checksum, size, &enumeration.paths); });
  if (FAILED(hr)) {
    *pHandle = 0;
    return hr;
  }
  WString first;
  hr = EnumerationTable::MoveIn(enumeration, &first);
  const HRESULT delivered = DeliverPath(first, sOutFile, cch);
  if (hr == S_OK && FAILED(delivered)) {
    *pHandle = 0;  // no handle is left open behind a failure
    return delivered;
  }
  try {
    *pHandle = Enumerations().Add(std::move(enumeration));
  } catch (const std::bad_alloc&) {
    *pHandle = 0;
    return E_OUTOFMEMORY;
  }
  return hr;
}

// A path too long for the buffer answers E_INVALIDARG; its row is passed all
// the same, as every move passes one.
HRESULT TrovixDB::FindNextDuplicateFile(WCHAR* sFile, UINT cch, UINT pHandle) {
  if (pHandle == 0 || sFile == nullptr) return E_INVALIDARG;
  if (!Module().database_open) return E_UNEXPECTED;
  WriteLock lock;
  WString path;
  const HRESULT hr = Enumerations().Move(pHandle, &path);
  if (FAILED(hr)) return hr;
  if (hr == DB_S_ENDOFROWSET) {
    std::fill_n(sFile, cch, WCHAR{0});  // no new duplicate in the buffer
    return hr;
  }
  return DeliverPath(path, sFile, cch);
}

HRESULT TrovixDB::FindCloseDuplicateFile(UINT pHandle) {
  if (pHandle == 0) return E_INVALIDARG;
  if (!Module().database_open) return E_UNEXPECTED;
  WriteLock lock;
  return Enumerations().Remove(pHandle) ? S_OK : E_INVALIDARG;
}

}  // namespace ordalis
