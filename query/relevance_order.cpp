#include "query/relevance_order.h"

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <tuple>

#include "platform/com.h"
#include "query/query_steps.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixrelevance.h"
#include "shared/itrovixterms.h"

namespace trovix::query {
namespace {

// Case folding of one UTF-16 unit; units of surrogate pairs stay as they are.
WCHAR Fold(WCHAR c) {
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  return static_cast<WCHAR>(std::towlower(static_cast<wint_t>(c)));
}

WString Folded(const WString& text) {
  WString out = text;
  std::transform(out.begin(), out.end(), out.begin(), Fold);
  return out;
}

// Adds count · ln(1 + N / df) of `word` to every file's weight.
HRESULT AddWeights(ITrovixRelevance* relevance, const QueryWord& word, double indexed,
                   const std::vector<INT>& ids, std::vector<RankedFile>* files) {
  std::vector<UINT> counts(ids.size(), 0);
  UINT files_with_word = 0;
  const HRESULT hr =
      relevance->CountWord(word.text.c_str(), word.prefix ? 1 : 0, ids.data(),
                           static_cast<UINT>(ids.size()), counts.data(), &files_with_word);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return S_OK;
  const double rarity = std::log1p(indexed / std::max<double>(1, files_with_word));
  for (std::size_t i = 0; i < ids.size(); ++i) (*files)[i].weight += counts[i] * rarity;
  return S_OK;
}

}  // namespace

bool NameContains(const WString& name, const WString& word) {
  return !word.empty() && Folded(name).find(Folded(word)) != WString::npos;
}

std::vector<QueryWord> RankingWords(const WString& cleaned) {
  std::vector<QueryWord> words;
  std::size_t start = 0;
  while (start < cleaned.size()) {
    std::size_t end = cleaned.find(u' ', start);
    if (end == WString::npos) end = cleaned.size();
    const WString token = cleaned.substr(start, end - start);
    start = end + 1;
    const std::size_t star = token.find(u'*');
    if (token.empty() || token == u"+" || token == u"-" || star == 0) continue;
    words.push_back({token.substr(0, star), star != WString::npos});
  }
  return words;
}

namespace {

// The name hits and weights of the term search, kRelevanceMaxFiles at a time.
HRESULT RankByTerms(ITrovixTerms* terms, std::u16string_view text, UINT flags,
                    std::vector<RankedFile>* ranked) {
  const WString query(text);
  for (std::size_t from = 0; from < ranked->size(); from += kRelevanceMaxFiles) {
    const std::size_t to = std::min(ranked->size(), from + kRelevanceMaxFiles);
    std::vector<INT> ids;
    for (std::size_t i = from; i < to; ++i) ids.push_back((*ranked)[i].id);
    std::vector<double> weights(ids.size(), 0);
    std::vector<BOOL> hits(ids.size(), 0);
    const HRESULT hr = terms->RankFiles(query.c_str(), flags, ids.data(),
                                        static_cast<UINT>(ids.size()), weights.data(), hits.data());
    if (FAILED(hr)) return hr;
    for (std::size_t i = from; i < to; ++i) {
      (*ranked)[i].weight = weights[i - from];
      (*ranked)[i].name_hit = hits[i - from] != 0;
    }
  }
  return S_OK;
}

// An older store's counts, word by word.
HRESULT RankByWords(ITrovixDB* store, std::u16string_view text, std::vector<RankedFile>* files) {
  WString cleaned;
  if (const HRESULT hr = CleanQuery(store, text, &cleaned); FAILED(hr)) return hr;
  const std::vector<QueryWord> words = RankingWords(cleaned);
  std::vector<RankedFile>& ranked = *files;
  for (RankedFile& file : ranked) {
    file.weight = 0;
    file.name_hit = std::any_of(words.begin(), words.end(), [&](const QueryWord& word) {
      return NameContains(file.name, word.text);
    });
  }
  ComPtr<ITrovixRelevance> relevance;
  if (!ranked.empty() && !words.empty() &&
      SUCCEEDED(store->QueryInterface(IID_ITrovixRelevance, relevance.put_void()))) {
    UINT indexed = 0;
    static_cast<void>(store->GetIndexedFileCount(&indexed));
    std::vector<INT> ids;
    ids.reserve(ranked.size());
    for (const RankedFile& file : ranked) ids.push_back(file.id);
    for (std::size_t from = 0; from < ids.size(); from += kRelevanceMaxFiles) {
      const std::size_t to = std::min(ids.size(), from + kRelevanceMaxFiles);
      std::vector<INT> part(ids.begin() + from, ids.begin() + to);
      std::vector<RankedFile> slice(ranked.begin() + from, ranked.begin() + to);
      for (const QueryWord& word : words) {
        const HRESULT hr = AddWeights(relevance.get(), word,
                                      std::max<double>(indexed, ranked.size()), part, &slice);
        if (FAILED(hr)) return hr;
      }
      std::copy(slice.begin(), slice.end(), ranked.begin() + from);
    }
  }
  return S_OK;
}

}  // namespace

HRESULT RankByRelevance(ITrovixDB* store, std::u16string_view text, UINT flags,
                        std::vector<RankedFile>* files) {
  std::vector<RankedFile> ranked = *files;
  ComPtr<ITrovixTerms> terms;
  const HRESULT hr = SUCCEEDED(store->QueryInterface(IID_ITrovixTerms, terms.put_void()))
                         ? RankByTerms(terms.get(), text, flags, &ranked)
                         : RankByWords(store, text, &ranked);
  if (FAILED(hr)) return hr;
  std::sort(ranked.begin(), ranked.end(), [](const RankedFile& a, const RankedFile& b) {
    return std::tie(b.name_hit, b.weight, b.written, a.name, a.path, a.id) <
           std::tie(a.name_hit, a.weight, a.written, b.name, b.path, b.id);
  });
  *files = std::move(ranked);
  return S_OK;
}

}  // namespace trovix::query
