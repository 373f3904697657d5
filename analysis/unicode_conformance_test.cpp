// The analysis against Unicode's own test data, from Debian's unicode-data
// package: the word boundaries of WordBreakTest.txt and the case folding of
// CaseFolding.txt.
#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/cjk.h"
#include "analysis/term_fold.h"
#include "analysis/word_segmenter.h"

namespace trovix::analysis {
namespace {

constexpr const char* kUnicodeData = "/usr/share/unicode";

std::vector<std::string> DataLines(const std::string& file) {
  std::ifstream in(std::string(kUnicodeData) + "/" + file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::u16string FromCodePoints(const std::vector<UChar32>& code_points) {
  icu::UnicodeString text;
  for (const UChar32 c : code_points) text.append(c);
  return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())).toUTF8String(out);
  return out;
}

class Boundaries final : public SegmentHandler {
 public:
  void Word(std::u16string_view word, std::size_t offset, bool) override {
    words.emplace_back(offset, offset + word.size());
  }
  void CjkUnits(std::u16string_view, std::size_t) override {}
  void CjkEnd() override {}
  std::vector<std::pair<std::size_t, std::size_t>> words;
};

// Every word the segmenter reports starts and ends where the test data puts
// a boundary, or beside a colon: ICU follows CLDR's root rules, which take
// the colons (U+003A, U+FE13, U+FE55, U+FF1A) out of the characters that
// join letters ("a:b" is two words), as a search wants for "http://x" and
// "key:value". Lines with CJK characters are left out: those runs are
// paired, not cut into words, by design.
TEST(UnicodeConformanceTest, EveryWordBoundaryAgreesWithWordBreakTest) {
  const std::vector<std::string> lines = DataLines("auxiliary/WordBreakTest.txt");
  ASSERT_GT(lines.size(), 1000u) << "install Debian's unicode-data package";
  int checked = 0;
  int left_out = 0;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::vector<UChar32> code_points;
    std::set<std::size_t> boundaries;
    std::size_t units = 0;
    bool cjk = false;
    bool colon_before = false;
    for (std::string field; fields >> field;) {
      if (field == "\xC3\xB7") {  // ÷
        boundaries.insert(units);
      } else if (field != "\xC3\x97") {  // not ×: a code point
        const UChar32 c = static_cast<UChar32>(std::stoul(field, nullptr, 16));
        cjk = cjk || IsCjkCharacter(c);
        const bool colon = c == 0x003A || c == 0xFE13 || c == 0xFE55 || c == 0xFF1A;
        // A mark after a colon belongs to it (WB4): the boundary follows it.
        const std::int8_t type = u_charType(c);
        const bool extend = type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK ||
                            type == U_COMBINING_SPACING_MARK || type == U_FORMAT_CHAR;
        if (colon || (colon_before && !extend)) boundaries.insert(units);
        colon_before = colon || (colon_before && extend);
        code_points.push_back(c);
        units += U16_LENGTH(c);
      }
    }
    if (cjk) {
      ++left_out;
      continue;
    }
    const std::u16string text = FromCodePoints(code_points);
    Boundaries found;
    WordSegmenter segmenter(found);
    segmenter.Feed(text);
    segmenter.Finish();
    for (const auto& [start, end] : found.words) {
      EXPECT_TRUE(boundaries.count(start) && boundaries.count(end))
          << "word [" << start << ", " << end << ") of: " << line;
    }
    ++checked;
  }
  EXPECT_GT(checked, 1500);
  EXPECT_LT(left_out, checked / 4);
}

std::u16string Nfkc(const std::u16string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  const icu::UnicodeString normalized = nfkc->normalize(
      icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())), status);
  return std::u16string(normalized.getBuffer(), static_cast<std::size_t>(normalized.length()));
}

// The full (F) and common (C) mappings of CaseFolding.txt.
std::map<UChar32, std::vector<UChar32>> CaseFoldingTable() {
  std::map<UChar32, std::vector<UChar32>> table;
  for (const std::string& line : DataLines("CaseFolding.txt")) {
    std::istringstream fields(line);
    std::string code;
    std::string status;
    std::string mapping;
    std::getline(fields, code, ';');
    std::getline(fields, status, ';');
    std::getline(fields, mapping, ';');
    status.erase(0, status.find_first_not_of(' '));
    if (status != "C" && status != "F") continue;
    std::vector<UChar32>& folded = table[static_cast<UChar32>(std::stoul(code, nullptr, 16))];
    std::istringstream hex(mapping);
    for (std::string value; hex >> value;) folded.push_back(std::stoul(value, nullptr, 16));
  }
  return table;
}

// A character folds to its mapping, kept in the compatibility-normalised
// form of the terms: the mapping of the table and NFKC applied in turn until
// neither changes it (a compatibility form may itself fold: U+03F9 ϹF maps
// to ϲ, whose NFKC form ς folds to σ).
TEST(UnicodeConformanceTest, FoldingAgreesWithCaseFoldingForFullAndCommonMappings) {
  const std::map<UChar32, std::vector<UChar32>> table = CaseFoldingTable();
  ASSERT_GT(table.size(), 1400u) << "install Debian's unicode-data package";
  const auto fold_once = [&](const std::u16string& text) {
    const icu::UnicodeString normalized(false, text.data(), static_cast<int32_t>(text.size()));
    std::vector<UChar32> out;
    for (int32_t i = 0; i < normalized.length();) {
      const UChar32 c = normalized.char32At(i);
      i += U16_LENGTH(c);
      const auto found = table.find(c);
      if (found == table.end()) {
        out.push_back(c);
      } else {
        out.insert(out.end(), found->second.begin(), found->second.end());
      }
    }
    return Nfkc(FromCodePoints(out));
  };
  for (const auto& [c, mapping] : table) {
    std::u16string expected = Nfkc(FromCodePoints(mapping));
    for (std::u16string next = fold_once(expected); next != expected; next = fold_once(next)) {
      expected = next;
    }
    EXPECT_EQ(FoldTerm(FromCodePoints({c})), Utf8(expected)) << std::hex << "U+" << c;
  }
}

// Every Latin, Greek and Cyrillic letter outside A-Z that is a letter with
// accents (its canonical decomposition is a letter of the same script and
// marks) has the bare form of that letter, in either case.
TEST(UnicodeConformanceTest, AccentsOfEveryLatinGreekAndCyrillicLetterFoldAway) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  int checked = 0;
  for (UChar32 c = 0x80; c < 0x20000; ++c) {
    const UScriptCode script = uscript_getScript(c, &status);
    if (script != USCRIPT_LATIN && script != USCRIPT_GREEK && script != USCRIPT_CYRILLIC) continue;
    if (!u_isalpha(c)) continue;
    icu::UnicodeString decomposed;
    if (!nfd->getDecomposition(c, decomposed) || decomposed.length() < 2) continue;
    const UChar32 base = decomposed.char32At(0);
    bool marks_only = true;
    for (int32_t i = U16_LENGTH(base); i < decomposed.length();) {
      const UChar32 mark = decomposed.char32At(i);
      // The iota subscript (U+0345) is a mark that folds to the letter ι.
      marks_only = marks_only && u_charType(mark) == U_NON_SPACING_MARK && mark != 0x0345;
      i += U16_LENGTH(mark);
    }
    if (!marks_only || uscript_getScript(base, &status) != script || !u_isalpha(base)) continue;
    const std::string bare = BareTerm(FoldTerm(FromCodePoints({c})));
    EXPECT_EQ(bare, BareTerm(FoldTerm(FromCodePoints({base}))))
        << std::hex << "U+" << c << " " << bare;
    ++checked;
  }
  EXPECT_GT(checked, 700);
}

}  // namespace
}  // namespace trovix::analysis
