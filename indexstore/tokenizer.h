// Cutting text into words.
//
// A word character is a Unicode letter, mark, decimal digit or letter number
// (classified from a table of our own, never from the process locale), or
// "_"; in query mode also "*". Everything else separates words. UTF-16 code
// units are classified one by one, so surrogates separate words.
#pragma once

#include <algorithm>
#include <string_view>

#include "platform/types.h"

namespace ordalis {

// Longest word kept, in UTF-16 code units; longer words are cut to it.
inline constexpr std::size_t kMaxWordLength = 40;

[[nodiscard]] bool IsWordUnit(WCHAR unit, bool query_mode);
[[nodiscard]] bool IsDigitUnit(WCHAR unit);

// Tokenizer in the manner of wcstok: with `text` not null it starts there,
// with null it resumes at `*context`. Returns the next token, terminated in
// place (the separator after it is overwritten), or null at the end; then
// `*context` points at the terminator of the text.
[[nodiscard]] WCHAR* NextToken(WCHAR* text, WCHAR** context, bool query_mode);

// Tokens from a file's text are counted when they contain neither U+FEFF nor
// U+FFEF, do not begin with a digit and are longer than two code units.
[[nodiscard]] bool HasBadCodeUnit(std::u16string_view token);
[[nodiscard]] bool AcceptWord(std::u16string_view token);

// QueryCleanup's cleaning of `text` in place (zero-terminated): separators
// become single spaces, and the tokens no word search can find go (those
// that AcceptWord refuses, unless they hold "*"). Answers the new length.
std::size_t CleanQueryInPlace(WCHAR* text);

// Scans pieces of text for words without changing them. A word that runs to
// the very end of a piece is held back and joined with the word characters
// that open the next piece, so a word cut by a piece boundary is counted
// once, whole. `on_word` receives each word's first kMaxWordLength units
// (which is all that is kept of a longer word).
class WordScanner {
 public:
  template <typename OnWord>
  void Scan(std::u16string_view piece, OnWord&& on_word);
  // Hands out the word held back at the end of the text, if any.
  template <typename OnWord>
  void Finish(OnWord&& on_word);

 private:
  void Hold(std::u16string_view part);

  WCHAR held_[kMaxWordLength];
  std::size_t held_size_ = 0;  // units stored in held_
  bool holding_ = false;       // a word ran to the end of the last piece
};

template <typename OnWord>
void WordScanner::Scan(std::u16string_view piece, OnWord&& on_word) {
  const std::size_t n = piece.size();
  std::size_t i = 0;
  if (holding_) {
    while (i < n && IsWordUnit(piece[i], /*query_mode=*/false)) ++i;
    Hold(piece.substr(0, i));
    if (i == n) return;  // the word goes on in the next piece
    Finish(on_word);
  }
  for (;;) {
    while (i < n && !IsWordUnit(piece[i], false)) ++i;
    const std::size_t start = i;
    while (i < n && IsWordUnit(piece[i], false)) ++i;
    if (i == start) return;
    if (i == n) {
      Hold(piece.substr(start));
      return;
    }
    on_word(piece.substr(start, std::min(i - start, kMaxWordLength)));
  }
}

template <typename OnWord>
void WordScanner::Finish(OnWord&& on_word) {
  if (!holding_) return;
  holding_ = false;
  on_word(std::u16string_view(held_, held_size_));
  held_size_ = 0;
}

}  // namespace ordalis
