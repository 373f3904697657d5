// The words of a query, analysed as a document's text is (text_analyzer.h),
// so that a query finds what the index holds.
//
// A query is split at spaces into words. Each word becomes the terms the
// analysis gives it, with their distances: a word that the analysis cuts
// into several terms ("INV-2024-0042", "東京都", "ภาษาไทย") matches where
// those terms stand at consecutive positions, as in the text it was copied
// from; so is a compound ("os.path", "l'homme"), whose parts the text
// holds as terms of their own.
//
// "*" at the end of a word makes its last term a prefix ("serializ*",
// "INV-20*"); "*" elsewhere makes the word one pattern over single terms
// ("re*ort", "*port"). A lone CJK character matches as a prefix, so that it
// finds the pairs it begins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trovix::analysis {

struct QueryTerm {
  std::string text;          // folded (term_fold.h); for a pattern with its "*"
  std::uint32_t offset = 0;  // position after the word's first term
  bool prefix = false;       // any term that begins with `text`
  bool pattern = false;      // `text` holds "*", standing for any characters

  bool operator==(const QueryTerm&) const = default;
};

// A word or part of the query too short to be a term ("a" in "vitamin a
// deficiency"): the index cannot tell it, so a phrase that holds one is
// checked against the text itself.
struct ShortTerm {
  std::string text;     // folded
  std::int32_t offset;  // position after the word's first term; negative before it

  bool operator==(const ShortTerm&) const = default;
};

struct QueryWord {
  std::vector<QueryTerm> terms;  // ascending offsets, the first 0; never empty
  std::vector<ShortTerm> short_terms;
};

// A piece of a query text: a word between spaces, or the text between two
// double quotes (a phrase; an unclosed quote runs to the end).
struct QueryPiece {
  std::u16string_view text;
  bool phrase = false;
};

// The pieces of `text`, in order; a quote also ends a word it touches.
[[nodiscard]] std::vector<QueryPiece> SplitQueryText(std::u16string_view text);

// The words of `text` that hold a searchable term, in order: each piece of
// SplitQueryText analysed by AnalyseQueryWord.
[[nodiscard]] std::vector<QueryWord> AnalyseQueryWords(std::u16string_view text);

// The terms of one word, or of a phrase: the words of `word` (spaces
// allowed) at consecutive positions. Empty when it has none.
[[nodiscard]] QueryWord AnalyseQueryWord(std::u16string_view word);

// True when the stored term `stored` (folded) is one `query` stands for;
// accents tell terms apart only with `exact_accents`.
[[nodiscard]] bool TermMatches(const QueryTerm& query, std::string_view stored, bool exact_accents);

// TermMatches for forms made comparable already: `wanted` is the query
// term's text and `stored` the stored term, both bare (BareTerm) unless
// accents count. For callers that compare one query term with many terms.
[[nodiscard]] bool FormMatches(const QueryTerm& query, std::string_view wanted,
                               std::string_view stored);

}  // namespace trovix::analysis
