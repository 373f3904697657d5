#include "provider/desktop_search.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <map>
#include <memory>

#include "platform/filetime.h"
#include "query/query_steps.h"
#include "query/relevance_order.h"
#include "shared/itrovixterms.h"
#include "shared/search_result.h"

namespace trovix::provider {
namespace {

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
  // Spaces of every kind the analysis cuts at become one space.
  WString query;
  for (const WCHAR c : joined) {
    const bool space = c == u' ' || (c >= u'\t' && c <= u'\r') || c == u'\u3000';
    if (!space) {
      query.push_back(c);
    } else if (!query.empty() && query.back() != u' ') {
      query.push_back(u' ');
    }
  }
  if (!query.empty() && query.back() == u' ') query.pop_back();
  if (std::count_if(query.begin(), query.end(), [](WCHAR c) { return c != u' '; }) <
      static_cast<std::ptrdiff_t>(kMinQueryLetters)) {
    return {};
  }
  ComPtr<ITrovixTerms> term_search;
  if (FAILED(store_->QueryInterface(IID_ITrovixTerms, term_search.put_void()))) return {};
  // Words that select by the presence of words, not a word, are no
  // question to answer as you type; words without a searchable term (a
  // lone letter, punctuation) are left out, so that the last word that is
  // searchable is the one being typed and matches as a prefix.
  WString kept;
  for (std::size_t start = 0; start < query.size();) {
    const std::size_t end = std::min(query.find(u' ', start), query.size());
    const WString word = query.substr(start, end - start);
    start = end + 1;
    if (word == u"*" || word == u"+" || word == u"-") return {};
    UINT words = 0;
    if (term_search->CountQueryWords(word.c_str(), &words) != S_OK) continue;
    if (!kept.empty()) kept.push_back(u' ');
    kept += word;
  }
  if (kept.empty()) return {};
  if (kept.find(u'*', kept.rfind(u' ') + 1) == WString::npos) kept.push_back(u'*');
  return kept;
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
  const UINT flags = query::SettingsTermFlags();
  query::ResultHandle words;
  if (query::OpenTerms(store_.get(), query, flags, /*to_read_whole=*/false, &words) != S_OK) {
    return {};
  }
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
  if (FAILED(query::RankByRelevance(store_.get(), query, flags, &ranked))) return {};
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
