#include "indexer/catalogue_prune.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "platform/com.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/itrovixbatch.h"
#include "shared/record_path.h"
#include "shared/search_result.h"

namespace trovix::indexer {
namespace {

// An open result set of the index store, closed on every path.
class SearchHandle {
 public:
  explicit SearchHandle(ITrovixDB* store) : store_(store) {}
  ~SearchHandle() {
    if (value_ != 0) static_cast<void>(store_->SearchClose(value_));
  }
  SearchHandle(const SearchHandle&) = delete;
  SearchHandle& operator=(const SearchHandle&) = delete;
  UINT* put() { return &value_; }
  UINT get() const { return value_; }

 private:
  ITrovixDB* store_;
  UINT value_ = 0;
};

// `folder` with exactly one trailing '/'; "/" for the root.
std::string FolderPrefix(const std::string& folder) {
  std::size_t end = folder.size();
  while (end > 0 && folder[end - 1] == '/') --end;
  return folder.substr(0, end) + "/";
}

// The longest pattern SearchOpenFileType takes, in UTF-16 units.
constexpr std::size_t kMaxPatternUnits = MAX_PATH - 1;

// A pattern whose matches include every file at or below `prefix`, and may
// include more. The store expands "$NAME", "%NAME%" and "${NAME}" and gives
// no way to write those characters literally; "*" stands for them (and for
// any byte that is not UTF-8, which `like` would compare as the engine
// decodes it, and for every half of a surrogate pair) instead. "/a/b*/" then
// matches the folder's own files (the directory "a/b/") and those of every
// folder below it, as `like`'s "%" also matches "/". A folder too long for a
// pattern is cut, which matches more folders still. Matches of "a/bc/", of
// other cases and beyond a cut are dropped by the caller's comparison of
// bytes.
WString FolderPattern(const std::string& prefix) {
  if (prefix == "/") return u"/";
  WString pattern = Utf8ToUtf16(prefix.substr(0, prefix.size() - 1));
  for (WCHAR& unit : pattern) {
    if (unit == u'$' || unit == u'%' || (unit >= 0xD800 && unit <= 0xDFFF)) unit = u'*';
  }
  pattern.resize(std::min(pattern.size(), kMaxPatternUnits - 2));
  return pattern + u"*/";
}

// The catalogued paths at or below `prefix` that `wanted` rejects. A file
// that leaves the catalogue while the set is read (SearchNext answers
// E_FAIL and keeps its read position) is passed over: it is gone already.
HRESULT CollectUnwanted(ITrovixDB* store, const std::string& prefix,
                        const std::function<bool(const std::string& path)>& wanted,
                        const std::atomic<unsigned>& keep_going, PruneStats* stats,
                        std::vector<std::string>* unwanted) {
  const WString pattern = FolderPattern(prefix);
  SearchHandle result(store);
  HRESULT hr = store->SearchOpenFileType(pattern.c_str(), result.put());
  if (FAILED(hr)) return hr;
  for (;;) {
    if (keep_going == 0) return E_ABORT;
    SearchResultRecord record{};
    hr = store->SearchNext(result.get(), reinterpret_cast<UINT_PTR>(&record));
    if (hr == DB_S_ENDOFROWSET) return S_OK;
    if (hr == E_FAIL) {
      SearchResult* set = FindSearchResult(result.get());
      if (set == nullptr || set->AtEnd()) return hr;
      set->Advance();
      continue;
    }
    if (FAILED(hr)) return hr;
    WString whole;
    hr = RecordPath(store, record, &whole);
    if (hr == S_FALSE) continue;  // gone already
    if (FAILED(hr)) return hr;
    std::string path = Utf16ToUtf8(whole);
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    ++stats->examined;
    if (!wanted(path)) unwanted->push_back(std::move(path));
  }
}

// A path longer than ITrovixDB takes leaves through a batch of its own,
// words and entry at once.
HRESULT RemoveInBatch(ITrovixDB* store, const WCHAR* path) {
  ComPtr<ITrovixBatch> batch;
  HRESULT hr = store->QueryInterface(IID_ITrovixBatch, batch.put_void());
  if (FAILED(hr)) return hr;
  hr = batch->BeginBatch();
  if (FAILED(hr)) return hr;
  const HRESULT removed = batch->RemoveFile(path);
  if (FAILED(removed)) {
    static_cast<void>(batch->AbortBatch());
    return removed;
  }
  hr = batch->CommitBatch();
  return FAILED(hr) ? hr : removed;
}

}  // namespace

HRESULT RemoveCataloguedFile(ITrovixDB* store, const WCHAR* path) {
  if (store == nullptr || path == nullptr) return E_INVALIDARG;
  if (WcsLenCapped(path, MAX_PATH) > MAX_PATH) return RemoveInBatch(store, path);
  HRESULT hr = store->FileInDB(path);
  if (hr != S_OK) return hr;  // S_FALSE: not catalogued
  hr = store->FileIndexed(path);
  if (FAILED(hr)) return hr;
  if (hr == S_OK) {
    hr = store->UnIndexFile(path, 0);
    if (FAILED(hr)) return hr;
  }
  hr = store->DeleteFileHard(path);
  return FAILED(hr) ? hr : S_OK;
}

// The result set is read to its end before the first removal: removing
// while it is open would make SearchNext stumble over the removed rows.
HRESULT PruneFolder(ITrovixDB* store, const std::string& folder,
                    const std::function<bool(const std::string& path)>& wanted,
                    const std::atomic<unsigned>& keep_going, PruneStats* stats) {
  if (store == nullptr || folder.empty() || folder[0] != '/') return E_INVALIDARG;
  PruneStats local;
  PruneStats* counts = stats != nullptr ? stats : &local;
  std::vector<std::string> unwanted;
  HRESULT hr = CollectUnwanted(store, FolderPrefix(folder), wanted, keep_going, counts, &unwanted);
  if (FAILED(hr)) return hr;
  for (const std::string& path : unwanted) {
    if (keep_going == 0) return E_ABORT;
    hr = RemoveCataloguedFile(store, Utf8ToUtf16(path).c_str());
    if (FAILED(hr)) return hr;
    if (hr == S_OK) ++counts->removed;
  }
  return S_OK;
}

bool IsWantedOnDisk(const std::string& path, const IndexableExtensionSet& extensions,
                    const IndexStoreFiles& own, dev_t device) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != device) return false;
  return extensions.Contains(ExtensionOf(Utf8ToUtf16(path))) && !own.Contains(path);
}

}  // namespace trovix::indexer
