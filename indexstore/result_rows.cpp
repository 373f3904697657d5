// ReadResultRows (shared/itrovixresultrows.h) and the row readers it is
// made of.
//
// Locks: the critical section only, as SearchNext: a reader is not held up
// by another process's writes, and the connection cannot close under it.
// Its statements are the call's own (see own_statement.h).
#include "indexstore/result_rows.h"

#include <mutex>
#include <vector>

#include "indexstore/db_exception.h"
#include "indexstore/index_store_module.h"
#include "indexstore/trovix_db.h"
#include "platform/filetime.h"
#include "shared/itrovixresultrows.h"
#include "shared/search_result.h"

namespace ordalis {
namespace {

constexpr const char* kFilesFrom = R"sql(
SELECT FileID, DirectoryID, Name, Checksum, CreationDateTime, ModificationDateTime,
       LastAccessDateTime, TXLastUpdate, Status, SizeLo32
FROM Files WHERE FileID >= ? ORDER BY FileID)sql";

constexpr const char* kFolderPath = R"sql(
SELECT Drives.Name || Directories.Name FROM Directories, Drives
WHERE Directories.DirectoryID = ? AND Drives.DriveID = Directories.DriveID)sql";

constexpr const char* kHighestFolder = "SELECT max(DirectoryID) FROM Directories";
constexpr const char* kEveryFolderPath = R"sql(
SELECT Directories.DirectoryID, Drives.Name || Directories.Name FROM Directories, Drives
WHERE Drives.DriveID = Directories.DriveID)sql";

// Held on its row for the whole read, it keeps one read transaction open:
// the engine ends a transaction of its own when its last active statement
// is reset, and each re-run of the file cursor would otherwise begin and end
// one (two lock calls, and maybe a newer snapshot each time). The schema
// table has rows: the open step found every table in it.
constexpr const char* kSnapshot = "SELECT 1 FROM sqlite_master";

// Rows the file cursor steps through before it runs its statement again
// from the target: a step costs a fraction of a microsecond, a run an index
// seek of a few pages. Identifiers are row numbers, so a target this near
// is at most this many rows ahead.
constexpr std::int64_t kStepsBeforeRun = 8;

// Reports the rows of `ids`; see ReadResultRows.
HRESULT ReportRows(sqlite3* db, const std::vector<INT>& ids, IResultRowSink* sink) {
  if (ids.empty()) return S_OK;
  OwnStatement snapshot(db, kSnapshot);
  ORDALIS_CHECK(snapshot.status());
  ORDALIS_CHECK(snapshot.Step());
  FileRowCursor files(db);
  ORDALIS_CHECK(files.status());
  FolderPaths folders(db);
  ORDALIS_CHECK(folders.status());
  ORDALIS_CHECK(folders.Prepare(ids.size()));
  using Column = FileRowCursor;
  bool skipped = false;
  std::string path;
  for (const INT id : ids) {
    const std::string* folder = nullptr;
    if (ORDALIS_CHECK(files.MoveTo(id)) != S_OK ||
        ORDALIS_CHECK(folders.Find(sqlite3_column_int64(files.row(), Column::kDirectoryId),
                                   &folder)) != S_OK) {
      skipped = true;  // not catalogued now, as SearchNext's join would find
      continue;
    }
    sqlite3_stmt* row = files.row();
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(row, Column::kName));
    path.assign(*folder);
    if (name != nullptr)
      path.append(name, static_cast<std::size_t>(sqlite3_column_bytes(row, Column::kName)));
    const ResultRow out{
        path.data(),
        static_cast<UINT>(path.size()),
        id,
        // Stored as signed values; the row keeps their 32 bits.
        static_cast<INT>(static_cast<std::uint32_t>(sqlite3_column_int64(row, Column::kChecksum))),
        ColumnFileTime(row, Column::kCreation),
        ColumnFileTime(row, Column::kModification),
        ColumnFileTime(row, Column::kLastAccess),
        ColumnFileTime(row, Column::kLastUpdate),
        static_cast<INT>(sqlite3_column_int64(row, Column::kStatus)),
        static_cast<UINT>(sqlite3_column_int64(row, Column::kSizeLo32)),
    };
    if (const HRESULT answered = sink->Row(out); answered != S_OK) return answered;
  }
  return skipped ? S_FALSE : S_OK;
}

}  // namespace

FILETIME ColumnFileTime(sqlite3_stmt* row, int column) {
  FILETIME time{};
  if (!DateToFileTime(sqlite3_column_double(row, column), &time)) time = FILETIME{};
  return time;
}

FileRowCursor::FileRowCursor(sqlite3* db) : select_(db, kFilesFrom) {}

HRESULT FileRowCursor::MoveTo(std::int64_t id) {
  if (ran_ && on_row_ && current_ <= id && id - current_ <= kStepsBeforeRun) {
    while (on_row_ && current_ < id) {
      const HRESULT hr = Step();
      if (FAILED(hr)) return hr;
    }
  } else if (!ran_ || on_row_ || id < end_from_) {
    const HRESULT hr = Run(id);
    if (FAILED(hr)) return hr;
  }
  return on_row_ && current_ == id ? S_OK : S_FALSE;
}

HRESULT FileRowCursor::Run(std::int64_t lowest) {
  select_.Reset();
  ran_ = true;
  on_row_ = false;
  end_from_ = lowest;
  const HRESULT hr = select_.Bind(1, lowest);
  if (FAILED(hr)) return hr;
  return Step();
}

HRESULT FileRowCursor::Step() {
  const HRESULT hr = select_.Step();
  if (hr == S_OK) {
    on_row_ = true;
    current_ = sqlite3_column_int64(select_.get(), kFileId);
    return S_OK;
  }
  if (on_row_) end_from_ = current_ + 1;
  on_row_ = false;
  return hr;
}

FolderPaths::FolderPaths(sqlite3* db) : db_(db), select_(db, kFolderPath) {}

HRESULT FolderPaths::Prepare(std::size_t files) {
  OwnStatement highest(db_, kHighestFolder);
  HRESULT hr = highest.status();
  if (SUCCEEDED(hr)) hr = highest.Step();
  if (FAILED(hr)) return hr;
  const std::int64_t top = hr == S_OK ? sqlite3_column_int64(highest.get(), 0) : 0;
  if (top <= 0 || files < 2 * static_cast<std::size_t>(top)) return S_OK;
  OwnStatement every(db_, kEveryFolderPath);
  hr = every.status();
  if (FAILED(hr)) return hr;
  std::vector<std::optional<std::string>> all(static_cast<std::size_t>(top) + 1);
  for (hr = every.Step(); hr == S_OK; hr = every.Step()) {
    const std::int64_t id = sqlite3_column_int64(every.get(), 0);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(every.get(), 1));
    if (id < 0 || id > top) continue;  // a folder added since: looked up alone
    all[static_cast<std::size_t>(id)].emplace(
        text == nullptr ? "" : text,
        static_cast<std::size_t>(sqlite3_column_bytes(every.get(), 1)));
  }
  if (FAILED(hr)) return hr;
  all_ = std::move(all);
  all_read_ = true;
  return S_OK;
}

HRESULT FolderPaths::Find(std::int64_t directory_id, const std::string** path) {
  if (all_read_ && directory_id >= 0 && static_cast<std::size_t>(directory_id) < all_.size()) {
    const std::optional<std::string>& found = all_[static_cast<std::size_t>(directory_id)];
    if (!found) return S_FALSE;
    *path = &*found;
    return S_OK;
  }
  auto known = known_.find(directory_id);
  if (known == known_.end()) {
    select_.Reset();
    HRESULT hr = select_.Bind(1, directory_id);
    if (SUCCEEDED(hr)) hr = select_.Step();
    if (FAILED(hr)) return hr;
    std::optional<std::string> found;
    if (hr == S_OK) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select_.get(), 0));
      found.emplace(text == nullptr ? "" : text,
                    static_cast<std::size_t>(sqlite3_column_bytes(select_.get(), 0)));
    }
    known = known_.emplace(directory_id, std::move(found)).first;
  }
  if (!known->second) return S_FALSE;
  *path = &*known->second;
  return S_OK;
}

HRESULT TrovixDB::ReadResultRows(UINT hSearch, IResultRowSink* sink) {
  IndexStoreModule& module = IndexStoreModule::Get();
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (!module.database_open || module.compacting) return E_UNEXPECTED;
  const trovix::SearchResult* result = trovix::FindSearchResult(hSearch);
  if (sink == nullptr || result == nullptr) return E_INVALIDARG;
  return RunLogged([&] { return ReportRows(module.engine().handle(), result->ids(), sink); });
}

}  // namespace ordalis
