#include "analysis/word_segmenter.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <mutex>

#include "analysis/ascii_words.h"
#include "analysis/cjk.h"

namespace trovix::analysis {
namespace {

// Text without a space for this long is cut anyway (see ForcedCut), so that
// what is held back stays small whatever the text.
constexpr std::size_t kMaxPending = std::size_t{1} << 15;

bool IsMarkOrFormat(UChar32 c) {
  const std::int8_t type = u_charType(c);
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK ||
         type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR;
}

// One word iterator for the process, cloned for each segmenter: creating
// one loads and compiles the rules, a clone shares them. (A static object,
// not a thread-local one: the index store module must stay unloadable.)
std::unique_ptr<icu::BreakIterator> NewWordIterator() {
  static std::mutex guard;
  static const std::unique_ptr<icu::BreakIterator> prototype = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  const std::lock_guard<std::mutex> lock(guard);
  return prototype ? std::unique_ptr<icu::BreakIterator>(prototype->clone()) : nullptr;
}

}  // namespace

bool IsCutSpace(char16_t unit) {
  return unit == u' ' || (unit >= u'\t' && unit <= u'\r') || unit == u'\u3000';
}

WordSegmenter::WordSegmenter(SegmentHandler& handler)
    : handler_(handler), words_(NewWordIterator()) {}

WordSegmenter::~WordSegmenter() = default;

void WordSegmenter::Feed(std::u16string_view piece) {
  pending_.append(piece);
  std::size_t cut = pending_.size();
  while (cut > 0 && !IsCutSpace(pending_[cut - 1])) --cut;
  if (cut == 0 && pending_.size() >= kMaxPending) cut = ForcedCut();
  if (cut > 0) Process(cut);
}

void WordSegmenter::Finish() {
  Process(pending_.size());
  EndRun();
}

// A place to cut text that has no space: before an ASCII character that the
// word rules always separate ("/", "(", "=", ...), else before any character
// that is not a mark or the second unit of a pair. Only a run of letters so
// long that no word can be meant, or a CJK run (which goes on across the
// cut), is cut at the second choice.
std::size_t WordSegmenter::ForcedCut() const {
  const std::size_t floor = pending_.size() / 2;
  for (std::size_t i = pending_.size() - 1; i > floor; --i) {
    const char16_t unit = pending_[i];
    if (unit < 0x80 && ascii_detail::ClassOf(unit) == ascii_detail::kOther) return i;
  }
  for (std::size_t i = pending_.size() - 1; i > 0; --i) {
    const char16_t unit = pending_[i];
    if (U16_IS_TRAIL(unit)) continue;
    UChar32 c = unit;
    if (U16_IS_LEAD(unit) && i + 1 < pending_.size()) {
      c = U16_GET_SUPPLEMENTARY(unit, pending_[i + 1]);
    }
    if (!IsMarkOrFormat(c)) return i;
  }
  return pending_.size();
}

// Spaces cut the first `cut` units into chunks; an ASCII chunk takes the
// fast scan, and a run of other chunks (with the spaces between them) goes
// to ICU whole.
void WordSegmenter::Process(std::size_t cut) {
  constexpr std::size_t kNone = std::u16string_view::npos;
  const std::u16string_view region = std::u16string_view(pending_).substr(0, cut);
  std::size_t complex = kNone;  // start of the text that goes to ICU
  std::size_t i = 0;
  while (i < region.size()) {
    if (IsCutSpace(region[i])) {
      if (complex == kNone) EndRun();  // a space ends a run left open by a cut
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < region.size() && !IsCutSpace(region[end])) ++end;
    const std::u16string_view chunk = region.substr(i, end - i);
    if (IsAsciiText(chunk)) {
      if (complex != kNone) ProcessComplex(region.substr(complex, i - complex), complex);
      complex = kNone;
      EndRun();
      ScanAsciiWords(chunk, [&](std::size_t start, std::size_t stop) {
        handler_.Word(chunk.substr(start, stop - start), consumed_ + i + start, /*ascii=*/true);
      });
    } else if (complex == kNone) {
      complex = i;
    }
    i = end;
  }
  if (complex != kNone) ProcessComplex(region.substr(complex), complex);
  pending_.erase(0, cut);
  consumed_ += cut;
}

// Splits a region into CJK runs and the stretches between them. `offset`
// is the region's start in pending_.
void WordSegmenter::ProcessComplex(std::u16string_view region, std::size_t offset) {
  constexpr std::size_t kNone = std::u16string_view::npos;
  std::size_t run = kNone;      // start of the CJK run being read
  std::size_t stretch = kNone;  // start of the other text being read
  bool after_cjk = in_run_;
  for (std::size_t i = 0; i < region.size();) {
    const std::size_t at = i;
    UChar32 c = 0;
    U16_NEXT(region.data(), i, region.size(), c);
    // A mark or joiner belongs to the character before it.
    const bool cjk = IsCjkCharacter(c) || (after_cjk && IsMarkOrFormat(c));
    if (cjk && run == kNone) {
      if (stretch != kNone) BreakWords(region.substr(stretch, at - stretch), offset + stretch);
      stretch = kNone;
      run = at;
    } else if (!cjk && stretch == kNone) {
      if (run != kNone) {
        handler_.CjkUnits(region.substr(run, at - run), consumed_ + offset + run);
        in_run_ = true;
      }
      run = kNone;
      EndRun();
      stretch = at;
    }
    after_cjk = cjk;
  }
  if (run != kNone) {
    handler_.CjkUnits(region.substr(run), consumed_ + offset + run);
    in_run_ = true;
  }
  if (stretch != kNone) BreakWords(region.substr(stretch), offset + stretch);
}

void WordSegmenter::BreakWords(std::u16string_view stretch, std::size_t offset) {
  if (!words_) {  // no ICU data: the stretch is one word, cut into parts later
    handler_.Word(stretch, consumed_ + offset, /*ascii=*/false);
    return;
  }
  // An alias: the iterator reads the caller's units, without a copy.
  const icu::UnicodeString text(false, stretch.data(), static_cast<int32_t>(stretch.size()));
  words_->setText(text);
  std::int32_t start = words_->first();
  for (std::int32_t end = words_->next(); end != icu::BreakIterator::DONE;
       start = end, end = words_->next()) {
    if (words_->getRuleStatus() == UBRK_WORD_NONE) continue;
    handler_.Word(stretch.substr(start, end - start), consumed_ + offset + start,
                  /*ascii=*/false);
  }
}

void WordSegmenter::EndRun() {
  if (!in_run_) return;
  in_run_ = false;
  handler_.CjkEnd();
}

}  // namespace trovix::analysis
