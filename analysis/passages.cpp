#include "analysis/passages.h"

#include <algorithm>
#include <bitset>

#include "analysis/term_fold.h"

namespace trovix::analysis {
namespace {

// Bounds that keep a finder's memory and time small on texts that repeat a
// query word everywhere: the first occurrences are enough to choose from.
constexpr std::size_t kMaxOccurrences = 200000;
constexpr std::size_t kMaxMatches = 20000;
// Words beyond this many count as one in the choice of a passage.
constexpr std::size_t kCountedWords = 64;
// How far a passage's ends move to meet a space rather than cut a word.
constexpr std::size_t kSnapUnits = 16;

// White space, the C0 and C1 controls and the bidirectional embeddings and
// isolates: a passage is shown on one line, and nothing of a document may
// move a terminal's cursor or turn the text around.
bool IsBlank(char16_t unit) {
  return unit <= u' ' || (unit >= u'\u007F' && unit <= u'\u00A0') ||
         (unit >= u'\u2000' && unit <= u'\u200A') || (unit >= u'\u2028' && unit <= u'\u202E') ||
         (unit >= u'\u2066' && unit <= u'\u2069') || unit == u'\u3000';
}

}  // namespace

PassageFinder::PassageFinder(std::vector<QueryWord> words, bool exact_accents)
    : words_(std::move(words)), exact_accents_(exact_accents), analyzer_(*this) {
  found_.resize(words_.size());
  found_short_.resize(words_.size());
  bool shorts = false;
  for (std::size_t w = 0; w < words_.size(); ++w) {
    found_[w].resize(words_[w].terms.size());
    found_short_[w].resize(words_[w].short_terms.size());
    shorts = shorts || !words_[w].short_terms.empty();
  }
  for (QueryWord& word : words_) {
    for (QueryTerm& term : word.terms) {
      if (!exact_accents_) term.text = BareTerm(term.text);
    }
    for (ShortTerm& term : word.short_terms) {
      if (!exact_accents_) term.text = BareTerm(term.text);
    }
  }
  analyzer_.set_short_terms(shorts);
}

void PassageFinder::Term(std::string_view term, std::uint32_t position, TermKind kind) {
  if (occurrences_ >= kMaxOccurrences) return;
  std::string bare;
  std::string_view form = term;
  if (!exact_accents_ && !IsAscii(term)) {
    bare = BareTerm(term);
    form = bare;
  }
  const auto [begin, end] = analyzer_.span();
  if (kind == TermKind::kShort) {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      const std::vector<ShortTerm>& terms = words_[w].short_terms;
      for (std::size_t t = 0; t < terms.size(); ++t) {
        if (terms[t].text == form) {
          found_short_[w][t].push_back({position, begin, end});
          ++occurrences_;
        }
      }
    }
    return;
  }
  for (std::size_t w = 0; w < words_.size(); ++w) {
    const std::vector<QueryTerm>& terms = words_[w].terms;
    for (std::size_t t = 0; t < terms.size(); ++t) {
      if (FormMatches(terms[t], terms[t].text, form)) {
        found_[w][t].push_back({position, begin, end});
        ++occurrences_;
      }
    }
  }
}

namespace {

// The occurrence of `list` (in the order of the text) at `position`, if any.
const PassageFinder::Occurrence* At(const std::vector<PassageFinder::Occurrence>& list,
                                    std::int64_t position) {
  if (position < 0) return nullptr;
  const auto at = std::lower_bound(list.begin(), list.end(), position,
                                   [](const PassageFinder::Occurrence& o, std::int64_t p) {
                                     return static_cast<std::int64_t>(o.position) < p;
                                   });
  return at != list.end() && at->position == position ? &*at : nullptr;
}

}  // namespace

std::vector<PassageFinder::Match> PassageFinder::Matches() const {
  std::vector<Match> matches;
  for (std::size_t w = 0; w < words_.size(); ++w) {
    const std::vector<QueryTerm>& terms = words_[w].terms;
    const std::vector<ShortTerm>& shorts = words_[w].short_terms;
    for (const Occurrence& first : found_[w].front()) {
      std::size_t begin = first.begin;
      std::size_t end = first.end;
      bool all = true;
      for (std::size_t t = 1; t < terms.size() && all; ++t) {
        const Occurrence* at = At(found_[w][t], std::int64_t{first.position} + terms[t].offset);
        all = at != nullptr;
        if (all) end = std::max(end, at->end);
      }
      for (std::size_t t = 0; t < shorts.size() && all; ++t) {
        const Occurrence* at =
            At(found_short_[w][t], std::int64_t{first.position} + shorts[t].offset);
        all = at != nullptr;
        if (all) {
          begin = std::min(begin, at->begin);
          end = std::max(end, at->end);
        }
      }
      if (all) matches.push_back({begin, end, w});
    }
  }
  std::sort(matches.begin(), matches.end(),
            [](const Match& a, const Match& b) { return a.begin < b.begin; });
  if (matches.size() > kMaxMatches) matches.resize(kMaxMatches);
  return matches;
}

std::vector<PassageFinder::Window> PassageFinder::Choose(const std::vector<Match>& matches,
                                                         std::size_t count,
                                                         std::size_t width) const {
  std::vector<Window> windows;
  for (std::size_t first = 0; first < matches.size(); ++first) {
    std::bitset<kCountedWords> seen;
    std::size_t last = first;
    while (last < matches.size() && matches[last].end - matches[first].begin <= width) {
      seen.set(std::min(matches[last].word, kCountedWords - 1));
      ++last;
    }
    if (last == first) last = first + 1;  // one match wider than a passage
    windows.push_back({first, last, std::max<std::size_t>(seen.count(), 1), last - first});
  }
  std::stable_sort(windows.begin(), windows.end(), [](const Window& a, const Window& b) {
    return a.words != b.words ? a.words > b.words : a.hits > b.hits;
  });
  // Windows kept apart by half a passage on either side, so that the
  // passages cut around them do not overlap.
  std::vector<Window> chosen;
  std::vector<std::pair<std::size_t, std::size_t>> taken;
  for (const Window& window : windows) {
    if (chosen.size() == count) break;
    const std::size_t begin = matches[window.first].begin;
    const std::size_t end = matches[window.last - 1].end + width / 2;
    const std::size_t from = begin > width / 2 ? begin - width / 2 : 0;
    const bool apart = std::all_of(taken.begin(), taken.end(), [&](const auto& range) {
      return end <= range.first || from >= range.second;
    });
    if (!apart) continue;
    chosen.push_back(window);
    taken.emplace_back(from, end);
  }
  return chosen;
}

bool PassageFinder::HoldsEveryWord() const {
  std::vector<bool> seen(words_.size(), false);
  for (const Match& match : Matches()) seen[match.word] = true;
  return std::all_of(seen.begin(), seen.end(), [](bool found) { return found; });
}

bool PassageFinder::Satisfied(std::size_t count, std::size_t width) {
  const std::vector<Window> chosen = Choose(Matches(), count, width);
  const std::size_t all = std::min(words_.size(), kCountedWords);
  return chosen.size() == count &&
         std::all_of(chosen.begin(), chosen.end(), [&](const Window& w) { return w.words >= all; });
}

std::vector<Passage> PassageFinder::Passages(std::u16string_view text, std::size_t count,
                                             std::size_t width) {
  const std::vector<Match> matches = Matches();
  std::vector<Window> chosen = Choose(matches, count, width);
  std::sort(chosen.begin(), chosen.end(),
            [](const Window& a, const Window& b) { return a.first < b.first; });
  std::vector<Passage> passages;
  for (const Window& window : chosen) {
    const std::size_t a = std::min(matches[window.first].begin, text.size());
    std::size_t b = a;
    for (std::size_t m = window.first; m < window.last; ++m) b = std::max(b, matches[m].end);
    b = std::min(b, text.size());
    const std::size_t extra = width > b - a ? width - (b - a) : 0;
    std::size_t start = a - std::min(a, extra / 2);
    std::size_t end = std::min(text.size(), b + (extra - (a - start)));
    // Meet a space rather than cut a word, when one is near.
    for (std::size_t i = start; start > 0 && i < a && i < start + kSnapUnits; ++i) {
      if (IsBlank(text[i])) {
        start = i + 1;
        break;
      }
    }
    for (std::size_t i = end; end < text.size() && i > b && i + kSnapUnits > end; --i) {
      if (IsBlank(text[i - 1])) {
        end = i - 1;
        break;
      }
    }
    Passage passage;
    if (start > 0) passage.text = u"\u2026";
    // Where each unit of [start, end] lands in the passage.
    std::vector<std::uint32_t> landing(end - start + 1, 0);
    for (std::size_t i = start; i < end; ++i) {
      landing[i - start] = static_cast<std::uint32_t>(passage.text.size());
      if (!IsBlank(text[i])) {
        passage.text.push_back(text[i]);
      } else if (!passage.text.empty() && passage.text.back() != u' ' &&
                 passage.text.back() != u'\u2026') {
        passage.text.push_back(u' ');
      }
    }
    while (!passage.text.empty() && passage.text.back() == u' ') passage.text.pop_back();
    landing[end - start] = static_cast<std::uint32_t>(passage.text.size());
    for (const Match& match : matches) {
      if (match.begin < start || match.end > end) continue;
      const std::uint32_t from = landing[match.begin - start];
      const std::uint32_t to = std::min<std::uint32_t>(
          landing[match.end - start], static_cast<std::uint32_t>(passage.text.size()));
      if (from >= to) continue;
      if (!passage.marks.empty() && from <= passage.marks.back().second) {
        passage.marks.back().second = std::max(passage.marks.back().second, to);
      } else {
        passage.marks.emplace_back(from, to);
      }
    }
    if (end < text.size()) passage.text += u"\u2026";
    passages.push_back(std::move(passage));
  }
  return passages;
}

}  // namespace trovix::analysis
