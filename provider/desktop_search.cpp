#include "provider/desktop_search.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <map>
#include <memory>

#include "platform/filetime.h"
#include "query/query_steps.h"
#include "query/relevance_order.h"
#include "shared/search_result.h"

namespace trovix::provider {
namespace {

// The store's statement for a "*" word holds at most this many units: a
// longer last word is searched whole rather than failing.
constexpr std::size_t kLongestPrefix = 45;

Hit MakeHit(const SearchResultRecord& record) {
  Hit hit;
  hit.id = std::to_string(record.FileID);
  hit.path = record.path;
  const std::size_t slash = hit.path.rfind(u'/');
  hit.name = slash == WString::npos ? hit.path : hit.path.substr(slash + 1);
  if (slash != WString::npos) hit.folder = slash == 0 ? WString(u"/") : hit.path.substr(0, slash);
  return hit;
}

// The catalogue records of `ids`, in their order; files that left the
// catalogue are skipped.
std::vector<SearchResultRecord> ReadRecords(ITrovixDB* store, std::vector<INT> ids) {
  std::vector<SearchResultRecord> records;
  std::optional<query::ResultHandle> set = query::MakeResult(std::move(ids));
  if (!set) return records;
  const SearchResult* result = FindSearchResult(set->get());
  while (result != nullptr && !result->AtEnd()) {
    auto record = std::make_unique<SearchResultRecord>();
    const HRESULT hr = store->SearchNext(set->get(), reinterpret_cast<UINT_PTR>(record.get()));
    if (hr == DB_S_ENDOFROWSET) break;
    if (FAILED(hr)) {
      // Not catalogued any more: the read position stays on it; step over.
      FindSearchResult(set->get())->Advance();
      continue;
    }
    records.push_back(*record);
  }
  return records;
}

}  // namespace

std::optional<INT> ParseId(const std::string& id) {
  INT value = 0;
  if (id.empty() || id.size() > 10 ||
      !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), value);
  if (error != std::errc() || end != id.data() + id.size() || value <= 0) return std::nullopt;
  return value;
}

DesktopSearch::DesktopSearch() {
  if (FAILED(com_.hr())) {
    status_ = com_.hr();
    return;
  }
  status_ = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                             store_.put_void());
  if (FAILED(status_)) return;
  status_ = store_->Init();
  if (status_ == S_FALSE) status_ = S_OK;
}

WString DesktopSearch::WordQuery(const std::vector<WString>& terms) {
  WString joined;
  for (const WString& term : terms) {
    if (joined.size() >= kMaxQueryUnits) break;
    if (!joined.empty()) joined.push_back(u' ');
    joined += term.substr(0, kMaxQueryUnits - joined.size());
  }
  joined.resize(std::min(joined.size(), kMaxQueryUnits));
  WString cleaned;
  if (FAILED(query::CleanQuery(store_.get(), joined, &cleaned))) return {};
  if (std::count_if(cleaned.begin(), cleaned.end(), [](WCHAR c) { return c != u' '; }) <
      static_cast<std::ptrdiff_t>(kMinQueryLetters)) {
    return {};
  }
  // "+" and "-" alone select by the presence of words, not a word.
  if (cleaned == u"+" || cleaned == u"-") return {};
  const std::size_t last = cleaned.rfind(u' ') + 1;  // npos + 1 == 0
  const std::size_t last_length = cleaned.size() - last;
  if (cleaned.find(u'*', last) == WString::npos && last_length <= kLongestPrefix) {
    cleaned.push_back(u'*');
  }
  return cleaned;
}

std::vector<Hit> DesktopSearch::Search(const std::vector<WString>& terms) {
  return Run(terms, std::nullopt);
}

std::vector<Hit> DesktopSearch::Refine(const std::vector<std::string>& previous,
                                       const std::vector<WString>& terms) {
  std::vector<INT> within;
  for (const std::string& id : previous) {
    if (const std::optional<INT> value = ParseId(id)) within.push_back(*value);
  }
  std::sort(within.begin(), within.end());
  return Run(terms, within);
}

std::vector<Hit> DesktopSearch::Run(const std::vector<WString>& terms,
                                    const std::optional<std::vector<INT>>& within) {
  if (FAILED(status_)) return {};
  const WString query = WordQuery(terms);
  if (query.empty()) return {};
  query::ResultHandle words;
  if (query::OpenWords(store_.get(), query, &words) != S_OK) return {};
  std::vector<INT> ids = query::IdsOf(words.get());
  if (within) {
    std::vector<INT> kept;
    std::set_intersection(ids.begin(), ids.end(), within->begin(), within->end(),
                          std::back_inserter(kept));
    ids.swap(kept);
  }
  // Ascending identifiers: the last ones are the most recently catalogued.
  if (ids.size() > kRankedCandidates) ids.erase(ids.begin(), ids.end() - kRankedCandidates);
  std::vector<query::RankedFile> ranked;
  std::map<INT, Hit> by_id;
  for (const SearchResultRecord& record : ReadRecords(store_.get(), std::move(ids))) {
    Hit hit = MakeHit(record);
    ranked.push_back({record.FileID, hit.path, hit.name,
                      static_cast<double>(FileTimeToInt64(record.ModificationDateTime))});
    by_id.emplace(record.FileID, std::move(hit));
  }
  if (FAILED(query::RankByRelevance(store_.get(), query::RankingWords(query), &ranked))) return {};
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < ranked.size() && i < kMaxResults; ++i) {
    hits.push_back(std::move(by_id[ranked[i].id]));
  }
  return hits;
}

std::optional<Hit> DesktopSearch::Lookup(const std::string& id) {
  const std::optional<INT> value = ParseId(id);
  if (FAILED(status_) || !value) return std::nullopt;
  const std::vector<SearchResultRecord> records = ReadRecords(store_.get(), {*value});
  if (records.empty()) return std::nullopt;
  return MakeHit(records.front());
}

}  // namespace trovix::provider
