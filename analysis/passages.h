// Passages of a text where the words of a query occur: what a snippet shows
// of a file so that a person can tell why it was found.
//
// The text goes through the one text analysis (text_analyzer.h), and a
// query word matches where its terms stand as the index holds them: a word
// of one term wherever a term it stands for (term_matches) occurs, a word
// of several (a phrase, a compound, a CJK piece) only where its terms stand
// at consecutive positions, and, when it holds words too short to be terms
// (query_words.h), only where those stand in their places too. So a passage
// marks what the search matched, and a phrase is found exactly.
//
// A passage is chosen for the most different query words within its width,
// then the most matches, then the earliest; passages do not overlap and are
// handed out in the order of the text. Runs of white space and control
// characters become one space.
//
// Threads: a finder belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/query_words.h"
#include "analysis/text_analyzer.h"

namespace trovix::analysis {

struct Passage {
  std::u16string text;
  // Marked stretches of `text`: [first, second), ascending, apart.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> marks;
};

class PassageFinder final : private TermSink {
 public:
  PassageFinder(std::vector<QueryWord> words, bool exact_accents);
  PassageFinder(const PassageFinder&) = delete;
  PassageFinder& operator=(const PassageFinder&) = delete;

  // Analyses the next piece of the text, which the caller keeps whole: the
  // passages are cut from it.
  void Feed(std::u16string_view piece) { analyzer_.Feed(piece); }
  // The end of the text.
  void Finish() { analyzer_.Finish(); }
  // A break between parts of the text, as TextAnalyzer::BreakText; the
  // caller's text holds a line end there.
  void BreakText() { analyzer_.BreakText(); }

  // True when `count` passages apart from each other each hold every query
  // word already: reading more of the text could not give better ones.
  [[nodiscard]] bool Satisfied(std::size_t count, std::size_t width);
  // True when every query word occurs somewhere in the text fed so far.
  [[nodiscard]] bool HoldsEveryWord() const;

  // Where a term occurs: its position and its units of the text.
  struct Occurrence {
    std::uint32_t position;
    std::size_t begin;
    std::size_t end;
  };

  // Up to `count` passages of about `width` units of `text` (the text fed),
  // in the order of the text. Empty when no query word occurs.
  [[nodiscard]] std::vector<Passage> Passages(std::u16string_view text, std::size_t count,
                                              std::size_t width);

 private:
  struct Match {
    std::size_t begin;
    std::size_t end;
    std::size_t word;
  };
  struct Window {
    std::size_t first;  // matches [first, last)
    std::size_t last;
    std::size_t words;
    std::size_t hits;
  };

  void Term(std::string_view term, std::uint32_t position, TermKind kind) override;
  // The matches of every word, ordered by where they begin.
  std::vector<Match> Matches() const;
  // The best windows of `matches`, apart from each other, best first.
  std::vector<Window> Choose(const std::vector<Match>& matches, std::size_t count,
                             std::size_t width) const;

  std::vector<QueryWord> words_;
  bool exact_accents_;
  // For each word and each of its terms: the positions and spans where a
  // term it stands for occurs, in the order of the text.
  std::vector<std::vector<std::vector<Occurrence>>> found_;
  // Likewise for each word's short terms.
  std::vector<std::vector<std::vector<Occurrence>>> found_short_;
  std::size_t occurrences_ = 0;
  TextAnalyzer analyzer_;
};

}  // namespace trovix::analysis
