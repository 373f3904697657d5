#include "indexer/file_processing.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "indexer/bulk_indexer.h"
#include "platform/com.h"
#include "platform/file_info.h"
#include "platform/hresult.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace trovix::indexer {
namespace {

// The facility of the index store's engine failures.
constexpr std::uint32_t kEngineFacility = 0x80046000u;

std::string_view LastName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The path with symbolic links resolved; the path itself when it cannot be.
std::string Canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

template <typename Getter>
bool QueryPath(Getter getter, std::string* out) {
  WCHAR buffer[MAX_PATH + 1];
  UINT size = MAX_PATH + 1;
  if (getter(buffer, &size) != S_OK) return false;
  *out = Canonical(Utf16ToUtf8(buffer));
  return true;
}

}  // namespace

IndexStoreFiles IndexStoreFiles::Query(ITrovixDB* store) {
  IndexStoreFiles files;
  files.known_ =
      QueryPath([store](WCHAR* s, UINT* n) { return store->GetDBFileName(s, n); },
                &files.database_) &&
      QueryPath([store](WCHAR* s, UINT* n) { return store->GetLogFileName(s, n); }, &files.log_);
  return files;
}

// Resolving every component of every walked path costs a readlink each
// (most of a re-walk's system time). A path can resolve to one of the
// store's files only when its last name is that file's name, or when that
// last name is itself a link; only those paths are resolved.
bool IndexStoreFiles::Contains(const std::string& path) const {
  if (!known_) return true;
  const std::string_view name = LastName(path);
  const bool own_name = name == LastName(log_) || name.starts_with(LastName(database_));
  struct stat st {};
  if (!own_name && lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) return false;
  const std::string canonical = Canonical(path);
  if (canonical == log_ || canonical == database_) return true;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    if (canonical == database_ + suffix) return true;
  }
  return false;
}

bool IsSettled(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kIndexed:
    case FileOutcome::kUnchanged:
    case FileOutcome::kNoFilter:
    case FileOutcome::kTooLong:
    case FileOutcome::kTooLarge:
      return true;
    default:
      return false;
  }
}

// The engine's codes are the SQLite primary result code in facility
// 0x80046000 (see the index store's engine adapter).
bool IsStoreFailure(HRESULT hr) {
  if (hr == E_UNEXPECTED || hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || IsDatabaseDamaged(hr)) {
    return true;
  }
  if ((static_cast<std::uint32_t>(hr) & 0xFFFFFF00u) != kEngineFacility) return false;
  switch (static_cast<std::uint32_t>(hr) & 0xFFu) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

bool IsDatabaseDamaged(HRESULT hr) {
  return hr == static_cast<HRESULT>(kEngineFacility | SQLITE_CORRUPT) ||
         hr == static_cast<HRESULT>(kEngineFacility | SQLITE_NOTADB);
}

const char* OutcomeReason(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kIndexed:
    case FileOutcome::kUnchanged:
      return "";
    case FileOutcome::kPartial:
      return "only partly read";
    case FileOutcome::kNoFilter:
      return "no content filter for this type";
    case FileOutcome::kTooLong:
      return "path too long (4,095 bytes at most)";
    case FileOutcome::kTooLarge:
      return "larger than 100 MiB: catalogued without its words";
    case FileOutcome::kUnreadable:
      return "cannot be read";
    case FileOutcome::kStoreUnavailable:
      return "the index database failed";
    case FileOutcome::kFailed:
      return "refused by the index store";
  }
  return "";
}

namespace {

// A failure status turned into the outcome that tells its cause.
FileOutcome Failure(const std::string& path, HRESULT hr, HRESULT* status) {
  if (status != nullptr) *status = hr;
  if (IsStoreFailure(hr)) return FileOutcome::kStoreUnavailable;
  // A file that vanished since it was listed is no fault of its reading.
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return FileOutcome::kFailed;
  if (access(path.c_str(), R_OK) != 0) return FileOutcome::kUnreadable;
  const DWORD code = static_cast<std::uint32_t>(hr) & 0xFFFFu;
  if ((static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u &&
      (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
       code == Win32ErrorFromErrno(EIO))) {
    return FileOutcome::kUnreadable;
  }
  return FileOutcome::kFailed;
}

// Whether the catalogue's row of one file was written no earlier than the
// file's last write and the term index holds the file.
class CurrentRow final : public ICatalogueRowSink {
 public:
  CurrentRow(std::u16string_view name, FILETIME last_write)
      : name_(name), last_write_(last_write) {}
  HRESULT Row(const CatalogueRow& row) override {
    if (row.name != name_) return S_OK;
    current_ = row.has_words != 0 && Ticks(row.last_update) >= Ticks(last_write_);
    return S_FALSE;  // the one row wanted was seen
  }
  [[nodiscard]] bool current() const { return current_; }

 private:
  static std::uint64_t Ticks(FILETIME ft) {
    return static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  }
  std::u16string_view name_;
  FILETIME last_write_;
  bool current_ = false;
};

bool IsCurrent(ITrovixBatch* batch, const std::string& path, const WString& wide) {
  FileAttributes attributes{};
  if (ReadFileAttributes(path, &attributes) != 0) return false;
  const std::size_t slash = wide.rfind(u'/');
  CurrentRow row(std::u16string_view(wide).substr(slash + 1), attributes.last_write);
  const HRESULT hr = batch->ReadFolder(wide.substr(0, slash + 1).c_str(), &row);
  return SUCCEEDED(hr) && row.current();
}

// One file through the bulk pipeline, so that it is analysed as a walk
// analyses its files (the term index), with the pipeline's retries.
FileOutcome IndexAlone(const std::string& path, UINT* keep_going, HRESULT* status) {
  BulkOptions options;
  options.preparers = 1;
  // The continue flag is the std::atomic<unsigned> the callers pass as a UINT.
  options.keep_going = reinterpret_cast<const std::atomic<unsigned>*>(keep_going);
  BulkResult outcome{path, FileOutcome::kPartial, S_OK};  // stopped before it was written
  {
    BulkIndexer bulk(options, [&outcome](const BulkResult& result) { outcome = result; });
    if (bulk.Add(path)) static_cast<void>(bulk.Finish());
  }
  if (status != nullptr) *status = outcome.status;
  return outcome.outcome;
}

}  // namespace

// An unchanged file that already has its words is left alone: indexing it
// again would only rewrite the same rows. A store with the bulk interface
// takes the file through it, into the term index; a file that index does not
// hold yet (catalogued by an earlier version) counts as changed.
FileOutcome ProcessFile(const std::string& path, UINT* keep_going, HRESULT* status) {
  if (status != nullptr) *status = S_OK;
  if (!FitsCatalogue(path)) return FileOutcome::kTooLong;
  const WString wide = Utf8ToUtf16(path);
  ComPtr<ITrovixDB> store;
  HRESULT hr = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                                store.put_void());
  if (FAILED(hr)) return Failure(path, hr, status);
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  if (ComPtr<ITrovixBatch> batch;
      SUCCEEDED(store->QueryInterface(IID_ITrovixBatch, batch.put_void()))) {
    if (IsCurrent(batch.get(), path, wide)) return FileOutcome::kUnchanged;
    return IndexAlone(path, keep_going, status);
  }
  const WCHAR* file = wide.c_str();
  bool changed = true;
  hr = store->FileInDB(file);
  if (hr != S_OK && hr != S_FALSE) return Failure(path, hr, status);
  if (hr == S_FALSE) {
    hr = store->AddFile(file);
    if (FAILED(hr)) return Failure(path, hr, status);
  } else if (store->FileDueForUpdate(file) == S_FALSE) {
    changed = false;
  } else if (hr = store->UpdateFile(file); FAILED(hr)) {
    return Failure(path, hr, status);
  }
  const HRESULT indexed = store->FileIndexed(file);
  if (indexed == S_OK && !changed) return FileOutcome::kUnchanged;
  if (indexed != S_OK && indexed != S_FALSE) return Failure(path, indexed, status);
  if (indexed == S_OK) {
    hr = store->UnIndexFile(file, 0);
    if (FAILED(hr)) return Failure(path, hr, status);
  }
  return OutcomeOfIndexing(path, store->IndexFile(file, keep_going, nullptr), status);
}

FileOutcome OutcomeOfIndexing(const std::string& path, HRESULT hr, HRESULT* status) {
  if (status != nullptr) *status = S_OK;
  if (hr == S_OK) return FileOutcome::kIndexed;
  if (hr == S_FALSE) {
    struct stat st {};
    const bool too_large = stat(path.c_str(), &st) == 0 &&
                           static_cast<std::uint64_t>(st.st_size) > kMaxIndexedFileSize;
    return too_large ? FileOutcome::kTooLarge : FileOutcome::kPartial;
  }
  if (hr == E_NOINTERFACE) return FileOutcome::kNoFilter;
  return Failure(path, hr, status);
}

}  // namespace trovix::indexer
