#include "analysis/query_words.h"

#include <algorithm>

#include "analysis/term_fold.h"
#include "analysis/text_analyzer.h"

namespace trovix::analysis {
namespace {

struct Found {
  std::string text;
  std::uint32_t position;
  TermKind kind;
};

class Collect final : public TermSink {
 public:
  void Term(std::string_view term, std::uint32_t position, TermKind kind) override {
    found.push_back({std::string(term), position, kind});
  }
  std::vector<Found> found;
};

bool IsQuerySpace(char16_t unit) {
  return unit == u' ' || (unit >= u'\t' && unit <= u'\r') || unit == u'\u3000';
}

// The terms a word is matched by: its words and the parts of its
// compounds, the pairs of a CJK run, and a run's last character only when
// the run is that one character.
std::vector<QueryTerm> Select(const std::vector<Found>& found) {
  std::vector<QueryTerm> terms;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const Found& term = found[i];
    if (term.kind == TermKind::kCjkLast && i > 0 && found[i - 1].kind == TermKind::kCjkPair &&
        found[i - 1].position + 1 == term.position) {
      continue;
    }
    QueryTerm selected;
    selected.text = term.text;
    selected.offset = term.position;
    selected.prefix = term.kind == TermKind::kCjkLast;
    terms.push_back(std::move(selected));
  }
  if (!terms.empty()) {
    const std::uint32_t first = terms.front().offset;
    for (QueryTerm& term : terms) term.offset -= first;
  }
  return terms;
}

bool GlobMatches(std::string_view pattern, std::string_view text) {
  // Iterative "*" matching with one backtrack point.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool FormMatches(const QueryTerm& query, std::string_view wanted, std::string_view stored) {
  if (query.pattern) return GlobMatches(wanted, stored);
  if (query.prefix) return stored.substr(0, wanted.size()) == wanted;
  return stored == wanted;
}

bool TermMatches(const QueryTerm& query, std::string_view stored, bool exact_accents) {
  if (exact_accents) return FormMatches(query, query.text, stored);
  return FormMatches(query, BareTerm(query.text), BareTerm(stored));
}

QueryWord AnalyseQueryWord(std::u16string_view word) {
  QueryWord result;
  std::size_t stars = 0;
  while (stars < word.size() && word[word.size() - 1 - stars] == u'*') ++stars;
  const std::u16string_view body = word.substr(0, word.size() - stars);
  if (body.find(u'*') != std::u16string_view::npos) {
    QueryTerm pattern;
    pattern.text = FoldTerm(word);
    pattern.pattern = true;
    // A pattern of stars alone would match every term.
    if (pattern.text.find_first_not_of('*') != std::string::npos) {
      result.terms.push_back(std::move(pattern));
    }
    return result;
  }
  Collect collect;
  TextAnalyzer analyzer(collect);
  analyzer.set_short_terms(true);
  analyzer.Feed(body);
  analyzer.Finish();
  std::vector<Found> terms;
  std::vector<Found> shorts;
  for (Found& found : collect.found) {
    (found.kind == TermKind::kShort ? shorts : terms).push_back(std::move(found));
  }
  result.terms = Select(terms);
  if (!terms.empty()) {
    // Select keeps the first term: offsets count from its position.
    const auto first = static_cast<std::int64_t>(terms.front().position);
    for (Found& short_term : shorts) {
      result.short_terms.push_back(
          {std::move(short_term.text), static_cast<std::int32_t>(short_term.position - first)});
    }
  }
  if (stars > 0 && !result.terms.empty()) result.terms.back().prefix = true;
  return result;
}

std::vector<QueryPiece> SplitQueryText(std::u16string_view text) {
  std::vector<QueryPiece> pieces;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsQuerySpace(text[i])) {
      ++i;
    } else if (text[i] == u'"') {
      const std::size_t close = std::min(text.find(u'"', i + 1), text.size());
      pieces.push_back({text.substr(i + 1, close - i - 1), true});
      i = close + 1;
    } else {
      std::size_t end = i;
      while (end < text.size() && !IsQuerySpace(text[end]) && text[end] != u'"') ++end;
      pieces.push_back({text.substr(i, end - i), false});
      i = end;
    }
  }
  return pieces;
}

std::vector<QueryWord> AnalyseQueryWords(std::u16string_view text) {
  std::vector<QueryWord> words;
  for (const QueryPiece& piece : SplitQueryText(text)) {
    QueryWord word = AnalyseQueryWord(piece.text);
    if (!word.terms.empty()) words.push_back(std::move(word));
  }
  return words;
}

}  // namespace trovix::analysis
