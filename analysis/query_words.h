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

struct QueryWord {
  std::vector<QueryTerm> terms;  // ascending offsets, the first 0; never empty
};

// The words of `text` that hold a searchable term, in order.
[[nodiscard]] std::vector<QueryWord> AnalyseQueryWords(std::u16string_view text);

// The terms of one word (`word` holds no space). Empty when it has none.
[[nodiscard]] QueryWord AnalyseQueryWord(std::u16string_view word);

}  // namespace trovix::analysis
