// The one text analysis of the suite: it turns text into search terms, and
// the same code runs on a document's text when it is indexed, on a file's
// name, and on the words of every query.
//
// The steps:
//  1. Words are found by Unicode's word rules (UAX #29) through ICU, with
//     its dictionaries where a script has no spaces (Thai, Lao, Khmer,
//     Burmese). ASCII text takes a scan that gives the same words faster
//     (ascii_words.h).
//  2. Runs of Chinese, Japanese and Korean characters (cjk.h) are not cut
//     into words: each pair of neighbouring characters is a term, and the
//     last character of the run a term by itself.
//  3. Every term is folded (term_fold.h).
//  4. A word whose letters and digits are joined by marks the word rules
//     keep inside words ("l'homme", "os.path", "x86_64", "3.14",
//     "me@example.com") is a compound: each of its parts ("homme", "os",
//     "path", "x86", "64") is a term, at consecutive positions, so that the
//     compound typed whole is found as its parts standing together, and a
//     part typed alone is found too. The whole is no term of its own: the
//     positions already tell it, and a term per compound would cost a row
//     per file for each of the many dotted names of technical text.
//  5. Terms of fewer than two characters (marks not counted) are dropped:
//     one letter or one digit finds too much to be worth its space.
//
// Positions: every word, part and CJK character takes one position, counted
// from 0 (a dropped term still takes its position). Terms at consecutive positions stood next
// to each other in the text, so a phrase, or a CJK piece, is found as terms
// at consecutive positions.
//
// Threads: an analyzer belongs to one thread. Analyzers of several threads
// run at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/word_segmenter.h"

namespace trovix::analysis {

enum class TermKind : unsigned char {
  kWord,     // a word, or one part of a compound
  kCjkPair,  // two neighbouring characters of a CJK run
  kCjkLast,  // the last character of a CJK run, alone
  kShort,    // a word or part too short to be a term: only with short terms on
};

class TermSink {
 public:
  // `term` (folded UTF-8) is valid during the call only.
  virtual void Term(std::string_view term, std::uint32_t position, TermKind kind) = 0;

 protected:
  ~TermSink() = default;
};

class TextAnalyzer final : private SegmentHandler {
 public:
  explicit TextAnalyzer(TermSink& sink);
  TextAnalyzer(const TextAnalyzer&) = delete;
  TextAnalyzer& operator=(const TextAnalyzer&) = delete;

  // Analyses the next piece of the text. A word cut by the end of a piece
  // is held back and joined with the start of the next, so pieces may end
  // anywhere (between the two units of a surrogate pair too).
  void Feed(std::u16string_view piece) { segmenter_.Feed(piece); }
  // Analyses what is held back. The text ends here; feed no more.
  void Finish() { segmenter_.Finish(); }
  // Ends a part of the text that stands apart from the next (a document's
  // title from its body): the part ends in a line end, and the next term
  // takes one position more, so that no phrase runs from one to the next.
  // The line end counts as a unit of the text for span().
  void BreakText() {
    segmenter_.Feed(u"\n");
    ++position_;
  }
  // Also hands the sink the words and parts too short to be terms (kShort,
  // folded, at the position they take), for the checks that a phrase's
  // every word stands in a text. Off by default: the index never holds them.
  void set_short_terms(bool on) { short_terms_ = on; }
  // The position the next term would take: the number of positions used.
  [[nodiscard]] std::uint32_t positions() const { return position_; }
  // The units of the text that the term being handed to the sink was made
  // of, [first, second), counted from the start of the text: for a CJK pair
  // its two characters. Valid during a TermSink call; snippets mark the
  // words of a passage by it.
  [[nodiscard]] std::pair<std::size_t, std::size_t> span() const { return span_; }

 private:
  void Word(std::u16string_view word, std::size_t offset, bool ascii) override;
  void CjkUnits(std::u16string_view units, std::size_t offset) override;
  void CjkEnd() override;
  void AsciiWord(std::u16string_view word, std::size_t offset);
  void ComplexWord(std::u16string_view word, std::size_t offset);

  TermSink& sink_;
  WordSegmenter segmenter_;
  std::string term_;                                        // scratch for the term being built
  std::vector<std::pair<std::size_t, std::size_t>> parts_;  // scratch: a word's parts
  std::string cell_;            // the last character of an open CJK run, folded
  std::size_t cell_begin_ = 0;  // where cell_ starts in the text
  std::size_t cell_end_ = 0;
  std::vector<std::pair<std::size_t, std::size_t>> source_cells_;  // scratch: a run's characters
  std::uint32_t position_ = 0;
  std::pair<std::size_t, std::size_t> span_{0, 0};
  bool short_terms_ = false;
};

// The terms of a whole text, as one analyzer fed it in one piece gives them.
void AnalyseText(std::u16string_view text, TermSink& sink);

}  // namespace trovix::analysis
