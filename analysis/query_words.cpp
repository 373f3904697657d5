#include "analysis/query_words.h"

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

}  // namespace

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
  AnalyseText(body, collect);
  result.terms = Select(collect.found);
  if (stars > 0 && !result.terms.empty()) result.terms.back().prefix = true;
  return result;
}

std::vector<QueryWord> AnalyseQueryWords(std::u16string_view text) {
  std::vector<QueryWord> words;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsQuerySpace(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !IsQuerySpace(text[end])) ++end;
    QueryWord word = AnalyseQueryWord(text.substr(i, end - i));
    if (!word.terms.empty()) words.push_back(std::move(word));
    i = end;
  }
  return words;
}

}  // namespace trovix::analysis
