#include "query/query_steps.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixresultrows.h"
#include "shared/itrovixsnippets.h"
#include "shared/itrovixterms.h"
#include "shared/registry_keys.h"
#include "shared/search_result.h"

namespace trovix::query {

ResultHandle& ResultHandle::operator=(ResultHandle&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.release();
  }
  return *this;
}

void ResultHandle::reset() {
  if (handle_ != 0) CloseSearchResult(std::exchange(handle_, 0));
}

UINT ResultHandle::release() { return std::exchange(handle_, 0); }

UINT* ResultHandle::put() {
  reset();
  return &handle_;
}

std::optional<ResultHandle> MakeResult(std::vector<INT> ids) {
  const UINT handle = RegisterSearchResult(std::make_unique<SearchResult>(std::move(ids)));
  if (handle == 0) return std::nullopt;
  return ResultHandle(handle);
}

std::optional<std::vector<INT>> TakeIds(ITrovixDB* store, UINT handle) {
  const SearchResult* found = FindSearchResult(handle);
  std::optional<std::vector<INT>> ids;
  if (found != nullptr) ids = found->ids();
  static_cast<void>(store->SearchClose(handle));
  return ids;
}

std::vector<INT> IdsOf(UINT handle) {
  const SearchResult* found = FindSearchResult(handle);
  return found != nullptr ? found->ids() : std::vector<INT>();
}

HRESULT CleanQuery(ITrovixDB* store, std::u16string_view text, WString* cleaned) {
  WString query(text);
  query.push_back(0);
  const HRESULT hr = store->QueryCleanup(query.data(), nullptr);  // in place
  if (FAILED(hr)) return hr;
  query.resize(WcsLen(query.c_str()));
  *cleaned = std::move(query);
  return S_OK;
}

namespace {

// The handle of a set opened with `hr`, or none: a set opened with a failure
// or "no word" answer is not the caller's.
HRESULT TakeOpened(ITrovixDB* store, HRESULT hr, UINT handle, ResultHandle* result) {
  if (FAILED(hr) || hr == S_FALSE) {
    if (handle != 0) static_cast<void>(store->SearchClose(handle));
    return hr;
  }
  *result = ResultHandle(handle);
  return S_OK;
}

}  // namespace

HRESULT OpenWords(ITrovixDB* store, const WString& cleaned, ResultHandle* result) {
  UINT handle = 0;
  const HRESULT hr = cleaned.empty() ? store->SearchOpenFileType(u"*", &handle)
                                     : store->SearchOpenWord(cleaned.c_str(), &handle);
  return TakeOpened(store, hr, handle, result);
}

HRESULT OpenWordsToReadWhole(ITrovixDB* store, const WString& cleaned, ResultHandle* result) {
  ComPtr<ITrovixResultRows> rows;
  if (cleaned.empty() || FAILED(store->QueryInterface(IID_ITrovixResultRows, rows.put_void()))) {
    return OpenWords(store, cleaned, result);
  }
  UINT handle = 0;
  const HRESULT hr = rows->SearchOpenWordCandidates(cleaned.c_str(), &handle);
  return TakeOpened(store, hr, handle, result);
}

UINT SettingsTermFlags() {
  RegKey key;
  DWORD exact = 0;
  if (RegKey::Open(HKEY_CURRENT_USER, keys::kTrovix, &key) == ERROR_SUCCESS &&
      key.GetDword(keys::kMatchAccents, &exact) == ERROR_SUCCESS && exact != 0) {
    return kTermsExactAccents;
  }
  return 0;
}

HRESULT OpenTerms(ITrovixDB* store, std::u16string_view text, UINT flags, bool to_read_whole,
                  ResultHandle* result) {
  ComPtr<ITrovixTerms> terms;
  if (FAILED(store->QueryInterface(IID_ITrovixTerms, terms.put_void()))) {
    WString cleaned;
    const HRESULT hr = CleanQuery(store, text, &cleaned);
    if (FAILED(hr)) return hr;
    if (cleaned.empty()) return S_FALSE;
    return to_read_whole ? OpenWordsToReadWhole(store, cleaned, result)
                         : OpenWords(store, cleaned, result);
  }
  if (to_read_whole) {
    ComPtr<ITrovixResultRows> rows;
    if (SUCCEEDED(store->QueryInterface(IID_ITrovixResultRows, rows.put_void()))) {
      flags |= kTermsCandidates;
    }
  }
  const WString query(text);
  UINT handle = 0;
  const HRESULT hr = terms->SearchOpenTerms(query.c_str(), flags, &handle);
  return TakeOpened(store, hr, handle, result);
}

std::vector<WString> SplitPatterns(std::u16string_view list) {
  std::vector<WString> patterns;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(u';', start), list.size());
    if (end > start) patterns.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return patterns;
}

std::vector<INT> Union(std::vector<std::vector<INT>> lists) {
  std::vector<INT> all;
  for (std::vector<INT>& list : lists) {
    std::sort(list.begin(), list.end());
    std::vector<INT> merged;
    merged.reserve(all.size() + list.size());
    std::merge(all.begin(), all.end(), list.begin(), list.end(), std::back_inserter(merged));
    all.swap(merged);
  }
  return all;
}

namespace {

// The normalised form of one pattern, by the size-query protocol.
HRESULT CleanPattern(ITrovixDB* store, const WString& pattern, WString* clean) {
  UINT size = 0;
  HRESULT hr = store->SearchCleanupFileQry(pattern.c_str(), nullptr, &size);
  if (FAILED(hr)) return hr;
  WString buffer(size, u'\0');
  hr = store->SearchCleanupFileQry(pattern.c_str(), buffer.data(), &size);
  if (FAILED(hr)) return hr;
  buffer.resize(WcsLen(buffer.c_str()));
  *clean = std::move(buffer);
  return S_OK;
}

}  // namespace

HRESULT OpenPatternUnion(ITrovixDB* store, const std::vector<WString>& patterns,
                         ResultHandle* result, std::vector<WString>* cleaned_forms,
                         std::size_t* failed_at) {
  std::vector<std::vector<INT>> copies;
  std::vector<WString> cleaned;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (failed_at != nullptr) *failed_at = i;
    if (cleaned_forms != nullptr) {
      WString clean;
      const HRESULT hr = CleanPattern(store, patterns[i], &clean);
      if (FAILED(hr)) return hr;
      cleaned.push_back(std::move(clean));
    }
    UINT handle = 0;
    const HRESULT hr = store->SearchOpenFileType(patterns[i].c_str(), &handle);
    if (FAILED(hr)) return hr;
    std::optional<std::vector<INT>> ids = TakeIds(store, handle);
    if (!ids) return E_FAIL;
    copies.push_back(std::move(*ids));
  }
  std::optional<ResultHandle> made = MakeResult(Union(std::move(copies)));
  if (!made) return E_OUTOFMEMORY;
  *result = std::move(*made);
  if (cleaned_forms != nullptr) *cleaned_forms = std::move(cleaned);
  return S_OK;
}

HRESULT Combine(ITrovixDB* store, UINT word, std::optional<UINT> include, UINT exclude,
                ResultHandle* result) {
  ResultHandle intersection;
  UINT current = word;
  if (include) {
    const HRESULT hr = store->SearchOpenIntersection(word, *include, intersection.put());
    if (FAILED(hr)) return hr;
    current = intersection.get();
  }
  ResultHandle rest;
  const HRESULT hr = store->SearchOpenSubtraction(current, exclude, rest.put());
  if (FAILED(hr)) return hr;
  *result = std::move(rest);
  return S_OK;
}

namespace {

// Copies each passage out of the store's buffers, which live for the call.
class PassageCopies final : public ISnippetSink {
 public:
  explicit PassageCopies(std::vector<query::Passage>* passages) : passages_(passages) {}

  HRESULT Passage(const WCHAR* text, UINT cUnits, const UINT* pMarks, UINT cMarks) override {
    query::Passage passage;
    passage.text.assign(text, cUnits);
    passage.marks.reserve(cMarks);
    for (UINT i = 0; i < cMarks; ++i) passage.marks.emplace_back(pMarks[2 * i], pMarks[2 * i + 1]);
    passages_->push_back(std::move(passage));
    return S_OK;
  }

 private:
  std::vector<query::Passage>* passages_;
};

}  // namespace

HRESULT ReadPassages(ITrovixDB* store, const WString& query, UINT flags, const WString& path,
                     UINT count, std::vector<Passage>* passages) {
  passages->clear();
  ComPtr<ITrovixSnippets> snippets;
  const HRESULT found = store->QueryInterface(IID_ITrovixSnippets, snippets.put_void());
  if (FAILED(found)) return found;
  PassageCopies sink(passages);
  const HRESULT hr = snippets->GetSnippets(query.c_str(), flags, path.c_str(), count, &sink);
  if (hr != S_OK || passages->empty()) {
    passages->clear();
    return FAILED(hr) ? hr : S_FALSE;
  }
  return S_OK;
}

}  // namespace trovix::query
