#include "shared/record_path.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/com.h"
#include "platform/wstring.h"
#include "shared/itrovixresultrows.h"

namespace trovix {
namespace {

class OnePath final : public IResultRowSink {
 public:
  HRESULT Row(const ResultRow& row) override {
    path = Utf8ToUtf16(std::string_view(row.path, row.path_bytes));
    return S_OK;
  }
  WString path;
};

// A set of its own, closed on every way out.
class OneFileSet {
 public:
  explicit OneFileSet(INT file_id)
      : handle_(RegisterSearchResult(std::make_unique<SearchResult>(std::vector<INT>{file_id}))) {}
  ~OneFileSet() {
    if (handle_ != 0) CloseSearchResult(handle_);
  }
  OneFileSet(const OneFileSet&) = delete;
  OneFileSet& operator=(const OneFileSet&) = delete;
  [[nodiscard]] UINT get() const { return handle_; }

 private:
  UINT handle_;
};

}  // namespace

HRESULT RecordPath(ITrovixDB* store, const SearchResultRecord& record, WString* path) {
  const std::u16string_view all(record.path, std::size(record.path));
  const std::u16string_view own = all.substr(0, std::min(all.find(u'\0'), all.size()));
  if (own.size() <= MAX_PATH) {
    path->assign(own);
    return S_OK;
  }
  ComPtr<ITrovixResultRows> rows;
  HRESULT hr = store->QueryInterface(IID_ITrovixResultRows, rows.put_void());
  if (FAILED(hr)) return hr;
  const OneFileSet set(record.FileID);
  if (set.get() == 0) return E_OUTOFMEMORY;
  OnePath sink;
  hr = rows->ReadResultRows(set.get(), &sink);
  if (hr != S_OK) return hr;
  *path = std::move(sink.path);
  return S_OK;
}

}  // namespace trovix
