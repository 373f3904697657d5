// Chinese, Japanese and Korean text, which is written without spaces
// between words (or, in Korean, with particles joined to the words). A
// dictionary segmenter cuts a text and a query typed into it differently,
// so the index holds every pair of neighbouring characters of such a run
// instead: any piece of two or more characters of a run is then found by
// its pairs at consecutive positions, wherever it starts.
#pragma once

#include <unicode/umachine.h>

namespace trovix::analysis {

// True for a character of a CJK run: a letter of the Han, Hiragana,
// Katakana, Bopomofo or Hangul scripts (ideographs, kana, hangul syllables
// and jamo, the iteration marks 々 and 〆), the prolonged sound marks ー and
// ｰ, and the kana voicing marks. Punctuation of these scripts (、。「」) is
// not: it separates runs.
[[nodiscard]] bool IsCjkCharacter(UChar32 c);

}  // namespace trovix::analysis
