#include "provider/desktop_search.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/filetime.h"
#include "platform/wstring.h"
#include "query/query_language.h"
#include "query/query_plan.h"
#include "query/query_steps.h"
#include "query/relevance_order.h"
#include "shared/itrovixresultrows.h"
#include "shared/itrovixterms.h"

namespace trovix::provider {
namespace {

Hit MakeHit(INT id, WString path) {
  Hit hit;
  hit.id = std::to_string(id);
  hit.path = std::move(path);
  const std::size_t slash = hit.path.rfind(u'/');
  hit.name = slash == WString::npos ? hit.path : hit.path.substr(slash + 1);
  if (slash != WString::npos) hit.folder = slash == 0 ? WString(u"/") : hit.path.substr(0, slash);
  return hit;
}

// The catalogue row of one file, its path whole: SearchNext's record would
// cut a path longer than MAX_PATH units.
class OneHit final : public IResultRowSink {
 public:
  HRESULT Row(const ResultRow& row) override {
    hit = MakeHit(row.file_id, Utf8ToUtf16(std::string_view(row.path, row.path_bytes)));
    return S_OK;
  }
  std::optional<Hit> hit;
};

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

namespace {

// The terms joined with spaces, every kind of space one space, cut at
// kMaxQueryUnits; empty when fewer than kMinQueryLetters characters remain.
WString JoinTerms(const std::vector<WString>& terms) {
  WString joined;
  for (const WString& term : terms) {
    if (joined.size() >= kMaxQueryUnits) break;
    if (!joined.empty()) joined.push_back(u' ');
    joined += term.substr(0, kMaxQueryUnits - joined.size());
  }
  joined.resize(std::min(joined.size(), kMaxQueryUnits));
  WString query;
  for (const WCHAR c : joined) {
    const bool space = c == u' ' || (c >= u'\t' && c <= u'\r') || c == u'\u3000';
    if (!space) {
      query.push_back(c);
    } else if (!query.empty() && query.back() != u' ') {
      query.push_back(u' ');
    }
  }
  const std::ptrdiff_t letters =
      std::count_if(query.begin(), query.end(), [](WCHAR c) { return c != u' '; });
  return letters < static_cast<std::ptrdiff_t>(kMinQueryLetters) ? WString() : query;
}

// A word that selects by the presence of words, not a word: no question to
// answer as you type.
bool HasWholeIndexWord(const query::QueryNode& node) {
  if (node.kind == query::NodeKind::kWord) {
    return node.text == u"*" || node.text == u"+" || node.text == u"-" ||
           node.text.find_first_not_of(u'*') == WString::npos;
  }
  return std::any_of(node.children.begin(), node.children.end(), HasWholeIndexWord);
}

// Adds each row the store reports, that the plan accepts, as a file to rank.
class HitRows final : public IResultRowSink {
 public:
  HitRows(const query::QueryPlan& plan, std::vector<query::RankedFile>* hits)
      : plan_(plan), hits_(hits) {}
  HRESULT Row(const ResultRow& row) override {
    const std::string_view path(row.path, row.path_bytes);
    if (plan_.tests_rows() &&
        !plan_.Accepts({row.file_id, path, row.modification, row.size_lo32})) {
      return S_OK;
    }
    Hit hit = MakeHit(row.file_id, Utf8ToUtf16(path));
    hits_->push_back({row.file_id, std::move(hit.path), std::move(hit.name),
                      static_cast<double>(FileTimeToInt64(row.modification))});
    return S_OK;
  }

 private:
  const query::QueryPlan& plan_;
  std::vector<query::RankedFile>* hits_;
};

}  // namespace

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
  const WString text = JoinTerms(terms);
  if (text.empty()) return {};
  query::ParseOptions options = query::ParseOptionsNow();
  options.as_you_type = true;
  options.max_leaves = kMaxTypedParts;
  query::QueryNode root;
  query::QueryError error;
  if (!query::ParseQuery(text, options, &root, &error) || root.children.empty() ||
      HasWholeIndexWord(root)) {
    return {};
  }
  const UINT flags = query::SettingsTermFlags();
  query::QueryPlan plan;
  if (query::QueryPlan::Open(store_.get(), root, flags, /*to_read_whole=*/true, &plan) != S_OK ||
      !plan.candidates()) {
    return {};
  }
  std::vector<INT> ids = *plan.candidates();
  if (within) {
    std::vector<INT> kept;
    std::set_intersection(ids.begin(), ids.end(), within->begin(), within->end(),
                          std::back_inserter(kept));
    ids.swap(kept);
  }
  // Ascending identifiers: the last ones are the most recently catalogued.
  const std::size_t read = plan.tests_rows() ? kTestedCandidates : kRankedCandidates;
  if (ids.size() > read) ids.erase(ids.begin(), ids.end() - static_cast<std::ptrdiff_t>(read));
  std::vector<query::RankedFile> ranked;
  ComPtr<ITrovixResultRows> rows;
  std::optional<query::ResultHandle> set = query::MakeResult(std::move(ids));
  if (!set || FAILED(store_->QueryInterface(IID_ITrovixResultRows, rows.put_void()))) return {};
  HitRows sink(plan, &ranked);
  if (FAILED(rows->ReadResultRows(set->get(), &sink))) return {};
  if (ranked.size() > kRankedCandidates) {
    ranked.erase(ranked.begin(), ranked.end() - static_cast<std::ptrdiff_t>(kRankedCandidates));
  }
  if (FAILED(query::RankByRelevance(store_.get(), plan.ranking_text(), flags, &ranked))) return {};
  snippet_query_ = plan.snippet_text();
  snippet_flags_ = flags;
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < ranked.size() && i < kMaxResults; ++i) {
    hits.push_back(MakeHit(ranked[i].id, std::move(ranked[i].path)));
  }
  return hits;
}

void DesktopSearch::AddSnippets(std::vector<Hit>* hits, std::chrono::milliseconds budget) {
  if (FAILED(status_) || snippet_query_.empty()) return;
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (Hit& hit : *hits) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::vector<query::Passage> passages;
    const HRESULT hr =
        query::ReadPassages(store_.get(), snippet_query_, snippet_flags_, hit.path, 1, &passages);
    if (hr == E_NOINTERFACE) return;
    if (hr == S_OK) hit.snippet = std::move(passages.front().text);
  }
}

std::optional<Hit> DesktopSearch::Lookup(const std::string& id) {
  const std::optional<INT> value = ParseId(id);
  if (FAILED(status_) || !value) return std::nullopt;
  ComPtr<ITrovixResultRows> rows;
  std::optional<query::ResultHandle> set = query::MakeResult({*value});
  if (!set || FAILED(store_->QueryInterface(IID_ITrovixResultRows, rows.put_void()))) {
    return std::nullopt;
  }
  OneHit sink;  // no row: the file left the catalogue
  if (FAILED(rows->ReadResultRows(set->get(), &sink))) return std::nullopt;
  return sink.hit;
}

}  // namespace trovix::provider
