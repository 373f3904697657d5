#include "indexer/file_processing.h"

#include <cstdlib>
#include <memory>

#include "platform/com.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

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

bool IndexStoreFiles::Contains(const std::string& path) const {
  if (!known_) return true;
  const std::string canonical = Canonical(path);
  if (canonical == log_ || canonical == database_) return true;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    if (canonical == database_ + suffix) return true;
  }
  return false;
}

// An unchanged file that already has its words is left alone: indexing it
// again would only rewrite the same rows.
FileOutcome ProcessFile(const std::string& path, UINT* keep_going) {
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    return FileOutcome::kFailed;
  }
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  const WString wide = Utf8ToUtf16(path);
  const WCHAR* file = wide.c_str();
  bool changed = true;
  if (store->FileInDB(file) != S_OK) {
    if (FAILED(store->AddFile(file))) return FileOutcome::kFailed;
  } else if (store->FileDueForUpdate(file) == S_FALSE) {
    changed = false;
  } else if (FAILED(store->UpdateFile(file))) {
    return FileOutcome::kFailed;
  }
  const HRESULT indexed = store->FileIndexed(file);
  if (indexed == S_OK && !changed) return FileOutcome::kUnchanged;
  if (indexed == S_OK) static_cast<void>(store->UnIndexFile(file, 0));
  if (indexed != S_OK && indexed != S_FALSE) return FileOutcome::kFailed;
  const HRESULT hr = store->IndexFile(file, keep_going, nullptr);
  if (hr == S_OK) return FileOutcome::kIndexed;
  if (hr == S_FALSE) return FileOutcome::kPartial;
  if (hr == E_NOINTERFACE) return FileOutcome::kNoFilter;
  return FileOutcome::kFailed;
}

}  // namespace trovix::indexer
