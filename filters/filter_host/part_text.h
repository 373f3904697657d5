// Gathers the text of a document's parts and hands it to the sink in text
// chunks that end where paragraphs end, so a long document never sits
// whole in memory.
//
// Invariants: white-space runs of the source fold into one separator, and
// separators are only written between words (none at a chunk's start or
// end); of separators that meet, the strongest stays (line break, then
// tab, then space). No more is gathered than the sink can still take.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "filters/filter_host/chunk_sink.h"

namespace docfilter {

class PartText {
 public:
  explicit PartText(ChunkSink* sink);
  PartText(const PartText&) = delete;
  PartText& operator=(const PartText&) = delete;

  // Text of the document, as UTF-8.
  void Append(std::string_view utf8);
  // Spaces that are part of the text (a run the source spelt out).
  void Spaces(std::size_t count);
  void WordBreak() { Separate(' '); }
  void Tab() { Separate('\t'); }
  void LineBreak() { Separate('\n'); }
  // Ends a paragraph; hands on what is gathered once it is long enough.
  void EndParagraph();
  // Hands on everything gathered. False when no more text is wanted.
  bool Flush();
  // No more text is wanted: the cap is reached or the reader went away.
  bool done() const { return full_ || sink_->stopped(); }

 private:
  void Separate(char separator);
  void StartCharacter();

  ChunkSink* sink_;
  std::string utf8_;
  std::size_t limit_;  // bytes that cover what the sink can still take
  char pending_ = 0;   // separator owed before the next character
  bool full_ = false;
};

}  // namespace docfilter
