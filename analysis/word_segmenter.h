// Finding words in text: the first step of the text analysis
// (text_analyzer.h), kept apart so that its boundaries can be checked
// against Unicode's own test data.
//
// Words follow Unicode's word rules (UAX #29) through ICU's word iterator,
// which uses dictionaries for the scripts written without spaces (Thai,
// Lao, Khmer, Burmese). Text is cut at spaces, which are boundaries on both
// sides; a chunk between spaces that is all ASCII takes the faster scan of
// ascii_words.h. Runs of CJK characters (cjk.h) are handed on as runs, not
// cut into words.
//
// Threads: a segmenter belongs to one thread.
#pragma once

#include <unicode/uversion.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

U_NAMESPACE_BEGIN
class BreakIterator;
U_NAMESPACE_END

namespace trovix::analysis {

class SegmentHandler {
 public:
  // A word: a segment the word rules give the status of a word (it holds a
  // letter, a digit, or, by ICU's rules, an "@"). `offset` counts units from
  // the start of the text; `ascii` when it is all ASCII.
  virtual void Word(std::u16string_view word, std::size_t offset, bool ascii) = 0;
  // The next units of a CJK run. A run may come in several calls (text cut
  // inside it); it ends with CjkEnd.
  virtual void CjkUnits(std::u16string_view units, std::size_t offset) = 0;
  virtual void CjkEnd() = 0;

 protected:
  ~SegmentHandler() = default;
};

class WordSegmenter {
 public:
  explicit WordSegmenter(SegmentHandler& handler);
  ~WordSegmenter();
  WordSegmenter(const WordSegmenter&) = delete;
  WordSegmenter& operator=(const WordSegmenter&) = delete;

  // Segments the next piece. A word cut by the end of a piece is held back
  // and joined with the start of the next, so pieces may end anywhere
  // (between the two units of a surrogate pair too).
  void Feed(std::u16string_view piece);
  // Segments what is held back; the text ends here.
  void Finish();

 private:
  void Process(std::size_t cut);
  void ProcessComplex(std::u16string_view region, std::size_t offset);
  void BreakWords(std::u16string_view stretch, std::size_t offset);
  void EndRun();
  [[nodiscard]] std::size_t ForcedCut() const;

  SegmentHandler& handler_;
  std::unique_ptr<icu::BreakIterator> words_;
  std::u16string pending_;    // text not segmented yet
  std::size_t consumed_ = 0;  // units of the text before pending_
  bool in_run_ = false;       // a CJK run goes on at the start of pending_
};

// True for the units the text is cut at: the spaces of the word rules that
// are boundaries on both sides (space, tab, the line ends, U+3000).
[[nodiscard]] bool IsCutSpace(char16_t unit);

}  // namespace trovix::analysis
