#include "analysis/term_fold.h"

#include <dlfcn.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>
#include <unicode/uvernum.h>

#include <algorithm>

#include "analysis/latin_ascii.h"

namespace trovix::analysis {
namespace {

// ICU keeps caches (normalizer data, break rules) that it frees only in
// u_cleanup, which a library must not call while anything else in the
// process may use ICU (Qt does). Were ICU unloaded with a module holding
// this code, each load of the module would leave those caches behind;
// pinned, ICU stays mapped with them and a module loaded again uses them.
const bool kIcuPinned =
    dlopen("libicuuc.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;

// Apostrophes that typography puts where a keyboard types '. NFKC leaves
// them alone; mapped so that "l’homme" and "l'homme" are one term.
bool IsApostrophe(char16_t unit) {
  return unit == u'\u2018' || unit == u'\u2019' || unit == u'\u201B' || unit == u'\uFF07';
}

const icu::Normalizer2& CaseFold() {
  UErrorCode status = U_ZERO_ERROR;
  // ICU owns the instance for the life of the process; it is immutable and
  // may be shared by every thread.
  static const icu::Normalizer2* const instance = icu::Normalizer2::getNFKCCasefoldInstance(status);
  return *instance;
}

const icu::Normalizer2& Decompose() {
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const instance = icu::Normalizer2::getNFDInstance(status);
  return *instance;
}

const icu::Normalizer2& Compose() {
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const instance = icu::Normalizer2::getNFCInstance(status);
  return *instance;
}

bool FoldsAccents(UScriptCode script) {
  return script == USCRIPT_LATIN || script == USCRIPT_GREEK || script == USCRIPT_CYRILLIC;
}

std::string ToUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// Drops the nonspacing marks that follow a Latin, Greek or Cyrillic base in
// the decomposed `text`; marks after any other base stay.
icu::UnicodeString WithoutAccents(const icu::UnicodeString& text) {
  icu::UnicodeString out;
  bool folding = false;  // the last base is of a script whose accents fold
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) == U_NON_SPACING_MARK) {
      if (!folding) out.append(c);
      continue;
    }
    UErrorCode status = U_ZERO_ERROR;
    folding = FoldsAccents(uscript_getScript(c, &status));
    out.append(c);
  }
  return out;
}

bool HasNonAsciiLatin(const icu::UnicodeString& text) {
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    UErrorCode status = U_ZERO_ERROR;
    if (c > 0x7F && uscript_getScript(c, &status) == USCRIPT_LATIN) return true;
  }
  return false;
}

}  // namespace

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string_view CutTerm(std::string_view utf8) {
  if (utf8.size() <= kMaxTermBytes) return utf8;
  std::size_t end = kMaxTermBytes;
  // Back to the first byte of the code point that would be cut.
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  return utf8.substr(0, end);
}

std::string FoldTerm(std::u16string_view word) {
  if (std::all_of(word.begin(), word.end(), [](char16_t unit) { return unit < 0x80; })) {
    std::string out(std::min(word.size(), kMaxTermBytes), '\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
      const char16_t unit = word[i];
      out[i] = static_cast<char>(unit >= u'A' && unit <= u'Z' ? unit + 32 : unit);
    }
    return out;
  }
  icu::UnicodeString text(word.data(), static_cast<int32_t>(word.size()));
  for (int32_t i = 0; i < text.length(); ++i) {
    if (IsApostrophe(text.charAt(i))) text.setCharAt(i, u'\'');
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString folded = CaseFold().normalize(text, status);
  if (U_FAILURE(status)) return {};
  return std::string(CutTerm(ToUtf8(folded)));
}

std::string BareTerm(std::string_view folded) {
  if (IsAscii(folded)) return std::string(folded);
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(folded.data(), static_cast<int32_t>(folded.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString decomposed = Decompose().normalize(text, status);
  if (U_FAILURE(status)) return std::string(folded);
  icu::UnicodeString bare = Compose().normalize(WithoutAccents(decomposed), status);
  if (U_FAILURE(status)) return std::string(folded);
  if (HasNonAsciiLatin(bare)) {
    if (LatinToAscii(bare)) bare.foldCase();
  }
  return std::string(CutTerm(ToUtf8(bare)));
}

}  // namespace trovix::analysis
