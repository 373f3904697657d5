#include "analysis/text_analyzer.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "analysis/term_fold.h"

namespace trovix::analysis {
namespace {

bool IsAsciiAlnum(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
         (unit >= u'0' && unit <= u'9');
}

bool IsMark(UChar32 c) {
  const std::int8_t type = u_charType(c);
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK ||
         type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR;
}

// Letters, marks, numbers and format characters (the soft hyphen, the
// zero-width joiners, which folding removes) make up the parts of a word;
// anything else inside a word (". ' _ , @") joins parts.
bool IsWordCharacter(UChar32 c) {
  switch (u_charType(c)) {
    case U_UPPERCASE_LETTER:
    case U_LOWERCASE_LETTER:
    case U_TITLECASE_LETTER:
    case U_MODIFIER_LETTER:
    case U_OTHER_LETTER:
    case U_NON_SPACING_MARK:
    case U_COMBINING_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
    case U_FORMAT_CHAR:
      return true;
    default:
      return false;
  }
}

// Two characters or more, marks not counted.
bool IsSignificant(std::string_view term) {
  if (IsAscii(term)) return term.size() >= 2;
  int count = 0;
  for (std::size_t i = 0; i < term.size() && count < 2;) {
    UChar32 c = 0;
    U8_NEXT(term.data(), i, term.size(), c);
    if (c >= 0 && !IsMark(c)) ++count;
  }
  return count >= 2;
}

const icu::Normalizer2& CaseFold() {
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const instance = icu::Normalizer2::getNFKCCasefoldInstance(status);
  return *instance;
}

}  // namespace

TextAnalyzer::TextAnalyzer(TermSink& sink) : sink_(sink), segmenter_(*this) {}

void TextAnalyzer::Word(std::u16string_view word, std::size_t offset, bool ascii) {
  if (ascii) {
    AsciiWord(word, offset);
  } else {
    ComplexWord(word, offset);
  }
}

void TextAnalyzer::AsciiWord(std::u16string_view word, std::size_t offset) {
  parts_.clear();
  for (std::size_t i = 0; i < word.size();) {
    if (!IsAsciiAlnum(word[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < word.size() && IsAsciiAlnum(word[i])) ++i;
    parts_.emplace_back(start, i);
  }
  if (parts_.empty()) return;
  const auto emit = [this](std::u16string_view text, std::uint32_t position, TermKind kind) {
    term_.resize(std::min(text.size(), kMaxTermBytes));
    for (std::size_t i = 0; i < term_.size(); ++i) {
      const char16_t unit = text[i];
      term_[i] = static_cast<char>(unit >= u'A' && unit <= u'Z' ? unit + 32 : unit);
    }
    if (term_.size() >= 2) {
      sink_.Term(term_, position, kind);
    } else if (short_terms_ && !term_.empty()) {
      sink_.Term(term_, position, TermKind::kShort);
    }
  };
  for (const auto& [start, end] : parts_) {
    span_ = {offset + start, offset + end};
    emit(word.substr(start, end - start), position_++, TermKind::kWord);
  }
}

void TextAnalyzer::ComplexWord(std::u16string_view word, std::size_t offset) {
  parts_.clear();
  for (std::size_t i = 0; i < word.size();) {
    const std::size_t at = i;
    UChar32 c = 0;
    U16_NEXT(word.data(), i, word.size(), c);
    if (!IsWordCharacter(c)) continue;
    if (parts_.empty() || parts_.back().second != at) parts_.emplace_back(at, i);
    parts_.back().second = i;
  }
  if (parts_.empty()) return;
  const auto emit = [this](std::u16string_view text, std::uint32_t position, TermKind kind) {
    const std::string term = FoldTerm(text);
    if (IsSignificant(term)) {
      sink_.Term(term, position, kind);
    } else if (short_terms_ && !term.empty()) {
      sink_.Term(term, position, TermKind::kShort);
    }
  };
  for (const auto& [start, end] : parts_) {
    span_ = {offset + start, offset + end};
    emit(word.substr(start, end - start), position_++, TermKind::kWord);
  }
}

// Folds the run's characters and gives each its position; each one after
// the first of the run makes a pair with the one before.
void TextAnalyzer::CjkUnits(std::u16string_view units, std::size_t offset) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString folded = CaseFold().normalize(
      icu::UnicodeString(false, units.data(), static_cast<int32_t>(units.size())), status);
  if (U_FAILURE(status)) return;
  // The characters of the source, for the spans: folding keeps one
  // character per character here except where a half-width voicing mark
  // joins the kana before it, which counts as a mark of it.
  source_cells_.clear();
  for (std::size_t i = 0; i < units.size();) {
    const std::size_t at = i;
    UChar32 c = 0;
    U16_NEXT(units.data(), i, units.size(), c);
    const bool joins = IsMark(c) || c == 0xFF9E || c == 0xFF9F;
    if (source_cells_.empty() || !joins) source_cells_.emplace_back(offset + at, offset + i);
    source_cells_.back().second = offset + i;
  }
  std::size_t cell_index = 0;
  std::string cell;
  const auto next_cell = [&]() {
    if (cell.empty()) return;
    const auto& source = source_cells_[std::min(cell_index++, source_cells_.size() - 1)];
    if (!cell_.empty()) {
      span_ = {cell_begin_, source.second};
      sink_.Term(cell_ + cell, position_ - 1, TermKind::kCjkPair);
    }
    cell_ = std::move(cell);
    cell_begin_ = source.first;
    cell_end_ = source.second;
    cell.clear();
    ++position_;
  };
  for (std::int32_t i = 0; i < folded.length();) {
    const UChar32 c = folded.char32At(i);
    i += U16_LENGTH(c);
    if (!IsMark(c)) next_cell();
    char bytes[U8_MAX_LENGTH];
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    cell.append(bytes, length);
  }
  next_cell();
}

void TextAnalyzer::CjkEnd() {
  if (cell_.empty()) return;
  span_ = {cell_begin_, cell_end_};
  sink_.Term(cell_, position_ - 1, TermKind::kCjkLast);
  cell_.clear();
}

void AnalyseText(std::u16string_view text, TermSink& sink) {
  TextAnalyzer analyzer(sink);
  analyzer.Feed(text);
  analyzer.Finish();
}

}  // namespace trovix::analysis
