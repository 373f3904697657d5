// ReadFolders of ITrovixBatch: the catalogued folders below a folder, so that
// a walk can tell which of them it did not see.
#include <sqlite3.h>

#include <mutex>
#include <string>
#include <vector>

#include "indexstore/engine.h"
#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "indexstore/own_statement.h"
#include "indexstore/path_split.h"
#include "indexstore/trovix_db.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// Directory names sort as bytes, so those beginning with "a/b/" lie in
// ["a/b/", "a/b0"): '0' follows '/'. The root's directory name is empty and
// every directory of its drive is below it. Only folders holding a file:
// removing a catalogue's last file of a folder may leave its row.
constexpr const char* kFoldersBelow =
    "SELECT Directories.Name FROM Drives, Directories WHERE Drives.Name = ?1 AND "
    "Directories.DriveID = Drives.DriveID AND Directories.Name >= ?2 AND Directories.Name < ?3 "
    "AND EXISTS (SELECT 1 FROM Files WHERE Files.DirectoryID = Directories.DirectoryID)";
constexpr const char* kFoldersOfDrive =
    "SELECT Directories.Name FROM Drives, Directories WHERE Drives.Name = ?1 AND "
    "Directories.DriveID = Drives.DriveID "
    "AND EXISTS (SELECT 1 FROM Files WHERE Files.DirectoryID = Directories.DirectoryID)";

// The directory names below `parts`, through a statement of the call's own.
HRESULT ReadDirectoryNames(sqlite3* db, const PathParts& parts, std::vector<std::string>* names) {
  const bool whole_drive = parts.directory.empty();
  OwnStatement select(db, whole_drive ? kFoldersOfDrive : kFoldersBelow);
  HRESULT hr = select.status();
  if (SUCCEEDED(hr)) hr = select.Bind(1, parts.drive);
  if (SUCCEEDED(hr) && !whole_drive) {
    hr = select.Bind(2, parts.directory);
    const std::u16string_view low = parts.directory;
    if (SUCCEEDED(hr)) hr = select.Bind(3, WString(low.substr(0, low.size() - 1)) + u"0");
  }
  if (FAILED(hr)) return hr;
  for (hr = select.Step(); hr == S_OK; hr = select.Step()) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    names->emplace_back(name != nullptr ? name : "");
  }
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace

HRESULT TrovixDB::ReadFolders(const WCHAR* sFolder, ICatalogueFolderSink* sink) {
  PathParts parts;
  if (sFolder == nullptr || sink == nullptr ||
      !SplitDirectoryPath(std::u16string_view(sFolder, WcsLen(sFolder)), &parts)) {
    return E_INVALIDARG;
  }
  std::vector<std::string> names;
  HRESULT hr = S_OK;
  {
    // As ReadFolder: the critical section only, the rows handed out after.
    IndexStoreModule& module = IndexStoreModule::Get();
    const std::lock_guard<std::recursive_mutex> guard(module.critical_section());
    if (!module.database_open) return E_UNEXPECTED;
    hr = ReadDirectoryNames(module.engine().handle(), parts, &names);
    if (FAILED(hr)) LogFailure(module.log_path, __FILE__, __LINE__, hr);
  }
  if (FAILED(hr)) return hr;
  for (const std::string& name : names) {
    const WString path = parts.drive + Utf8ToUtf16(name);
    if (const HRESULT answered = sink->Folder(path.c_str()); answered != S_OK) return answered;
  }
  return S_OK;
}

}  // namespace ordalis
