// Latin letters that carry their mark inside the letter (ø, ł, đ, æ, œ, þ),
// written in ASCII by ICU's Latin-ASCII transliteration.
//
// The transliterator lives in ICU's i18n library, which nothing else of the
// analysis needs; it is loaded the first time a term holds such a letter,
// so that a process that never meets one (most indexing of English text,
// every search process) does not map and relocate it.
//
// Threads: any; each call borrows a transliterator of its own from a pool.
#pragma once

#include <unicode/unistr.h>

namespace trovix::analysis {

// Transliterates `text` in place. False, with `text` unchanged, when ICU's
// i18n library or its Latin-ASCII rules cannot be had.
[[nodiscard]] bool LatinToAscii(icu::UnicodeString& text);

}  // namespace trovix::analysis
