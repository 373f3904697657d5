// The spelling of a search term: how a word of a text or of a query becomes
// the key the index stores and compares.
//
//  - FoldTerm: full Unicode case folding with compatibility forms (NFKC
//    case fold: É → é, Σ and ς → σ, ß → ss, ﬁ → fi, Ａ → a), typographic
//    apostrophes made ', and the result cut to kMaxTermBytes. This is the
//    stored term; two words match "with accents" when their folded forms
//    are equal.
//  - BareTerm: the folded term without the accents of Latin, Greek and
//    Cyrillic letters (café → cafe, ά → α, й → и) and with Latin letters
//    that carry their mark in the letter written in ASCII (ø → o, ł → l,
//    œ → oe). Marks of other scripts stay: they tell words apart there (か
//    and が, Devanagari vowel signs). Two words match "without accents" when
//    their bare forms are equal.
//
// Both are pure functions of their input and of the ICU data the program
// runs with; the index and every query must use the same ICU version.
// Threads: any.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trovix::analysis {

// Longest stored term, in UTF-8 bytes; longer terms are cut at the last
// whole code point within it (a query is cut the same way, so it still
// finds them).
// Not inline: an inline variable whose address is taken becomes a unique
// symbol, and a module holding one can never be unloaded.
constexpr std::size_t kMaxTermBytes = 64;

// The folded term of `word` (UTF-16), as UTF-8. Empty only for an empty
// word or one made of ignorable code points.
[[nodiscard]] std::string FoldTerm(std::u16string_view word);

// `utf8` cut to at most kMaxTermBytes on a code point boundary.
[[nodiscard]] std::string_view CutTerm(std::string_view utf8);

// The accent-free form of a folded term (UTF-8 in, UTF-8 out). Equal to
// its input for every term without such accents, and always for ASCII.
[[nodiscard]] std::string BareTerm(std::string_view folded);

// True when `folded` is all ASCII: its bare form is itself.
[[nodiscard]] bool IsAscii(std::string_view text);

}  // namespace trovix::analysis
