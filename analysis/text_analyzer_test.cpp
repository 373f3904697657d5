#include "analysis/text_analyzer.h"

#include <gtest/gtest.h>
#include <unicode/unistr.h>

#include <random>
#include <string>
#include <vector>

#include "analysis/term_fold.h"

namespace trovix::analysis {
namespace {

std::u16string U16(const std::string& utf8) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

struct Seen {
  std::string term;
  std::uint32_t position;
  TermKind kind;
  bool operator==(const Seen&) const = default;
};

class Record final : public TermSink {
 public:
  void Term(std::string_view term, std::uint32_t position, TermKind kind) override {
    seen.push_back({std::string(term), position, kind});
  }
  std::vector<Seen> seen;
};

std::vector<Seen> Analyse(const std::string& text) {
  Record record;
  AnalyseText(U16(text), record);
  return record.seen;
}

// "term@position" for each term, in order, with a mark for CJK pairs (J)
// and a run's last character (L).
std::string Terms(const std::string& text) {
  std::string out;
  for (const Seen& seen : Analyse(text)) {
    if (!out.empty()) out += ' ';
    out += seen.term + "@" + std::to_string(seen.position);
    switch (seen.kind) {
      case TermKind::kCjkPair:
        out += 'J';
        break;
      case TermKind::kCjkLast:
        out += 'L';
        break;
      case TermKind::kShort:
        out += 'S';
        break;
      case TermKind::kWord:
        break;
    }
  }
  return out;
}

TEST(TextAnalyzerTest, CaseIsFoldedInEveryScriptAndCompatibilityFormsBecomeTheirLetters) {
  EXPECT_EQ(Terms("Le café était très CAFÉ Café"), "le@0 café@1 était@2 très@3 café@4 café@5");
  EXPECT_EQ(Terms("Die Straße ist groß STRASSE"), "die@0 strasse@1 ist@2 gross@3 strasse@4");
  // Capital, medial and final sigma are one letter.
  EXPECT_EQ(Terms("ΣΊΣΥΦΟΣ σίσυφος"), "σίσυφοσ@0 σίσυφοσ@1");
  EXPECT_EQ(Terms("Ελληνικά κείμενο"), "ελληνικά@0 κείμενο@1");
  EXPECT_EQ(Terms("ПРИВЕТ мир Ёлка"), "привет@0 мир@1 ёлка@2");
  EXPECT_EQ(Terms("ﬁle ＡＢＣ１２３ ｶﾀｶﾅ"), "file@0 abc123@1 カタ@2J タカ@3J カナ@4J ナ@5L");
  // Known limit: the default folding, not Turkish's: I folds to i, not to ı.
  EXPECT_EQ(Terms("KIRMIZI kırmızı"), "kirmizi@0 kırmızı@1");
}

TEST(TextAnalyzerTest, ChineseJapaneseAndKoreanRunsBecomeOverlappingPairs) {
  EXPECT_EQ(Terms("東京都の天気は晴れです"),
            "東京@0J 京都@1J 都の@2J の天@3J 天気@4J 気は@5J は晴@6J 晴れ@7J れで@8J です@9J "
            "す@10L");
  // Punctuation of the script separates runs; a run of one is its character.
  EXPECT_EQ(Terms("人、天気。"), "人@0L 天気@1J 気@2L");
  EXPECT_EQ(Terms("カタカナとひらがな"),
            "カタ@0J タカ@1J カナ@2J ナと@3J とひ@4J ひら@5J らが@6J がな@7J な@8L");
  EXPECT_EQ(Terms("서울에서 회의"), "서울@0J 울에@1J 에서@2J 서@3L 회의@4J 의@5L");
  // Runs meet other scripts without a space.
  EXPECT_EQ(Terms("Windows版とLinux"), "windows@0 版と@1J と@2L linux@3");
  // A combining voiced mark belongs to its kana.
  EXPECT_EQ(Terms("か\u3099き"), "がき@0J き@1L");
}

TEST(TextAnalyzerTest, ScriptsWithoutSpacesAreCutByDictionary) {
  EXPECT_EQ(Terms("ภาษาไทยง่ายนิดเดียว"), "ภาษา@0 ไทย@1 ง่าย@2 นิด@3 เดียว@4");
  EXPECT_EQ(Terms("ພາສາລາວງ່າຍ"), "ພາສາ@0 ລາວ@1 ງ່າຍ@2");
  EXPECT_EQ(Terms("ខ្ញុំចូលចិត្តភាសាខ្មែរ"), "ខ្ញុំ@0 ចូលចិត្ត@1 ភាសាខ្មែរ@2");
  EXPECT_EQ(Terms("မြန်မာဘာသာစကား"), "မြန်မာဘာသာ@0 စကား@1");
}

TEST(TextAnalyzerTest, NumbersAndShortWordsAreTermsAndSingleCharactersAreNot) {
  EXPECT_EQ(Terms("Invoice 47110815, 2024"), "invoice@0 47110815@1 2024@2");
  EXPECT_EQ(Terms("AI Go ab 12 a 7 é"), "ai@0 go@1 ab@2 12@3");
  EXPECT_EQ(Terms("2nd INV-2024-0042"), "2nd@0 inv@1 2024@2 0042@3");
  EXPECT_EQ(Terms("!! -- C++ ..."), "");
}

// A compound is its parts, side by side; a dropped part keeps its place.
TEST(TextAnalyzerTest, CompoundsAreTheirPartsAtConsecutivePositions) {
  EXPECT_EQ(Terms("l’homme L'HOMME"), "homme@1 homme@3");
  EXPECT_EQ(Terms("x86_64 os.path.join"), "x86@0 64@1 os@2 path@3 join@4");
  EXPECT_EQ(Terms("3.14 1,000 me@example.com"), "14@1 000@3 me@4 example@5 com@6");
  // The marks only join letters to letters and digits to digits.
  EXPECT_EQ(Terms("v2.final a:bc"), "v2@0 final@1 bc@3");
}

TEST(TextAnalyzerTest, LongTermsAreCutOnACharacterBoundary) {
  const std::vector<Seen> latin = Analyse(std::string(100, 'x'));
  ASSERT_EQ(latin.size(), 1u);
  EXPECT_EQ(latin[0].term, std::string(kMaxTermBytes, 'x'));
  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "é";  // two bytes each
  const std::vector<Seen> cut = Analyse(accented);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].term.size(), kMaxTermBytes);
  EXPECT_EQ(cut[0].term, accented.substr(0, kMaxTermBytes));
}

// Text fed in pieces cut anywhere gives the terms of the whole text, also
// where a cut falls inside a word, a surrogate pair or a CJK run.
TEST(TextAnalyzerTest, PiecesCutAnywhereGiveTheTermsOfTheWholeText) {
  const std::u16string text =
      U16("Le café était très 東京都の天気は晴れです x86_64 𝐀𝐁𝐂 budget-2024.ods "
          "ภาษาไทยง่ายนิดเดียว l’homme 서울에서 Straße ΣΊΣΥΦΟΣ 3.14 "
          "\U0002000B\U0002000C漢字 end");
  Record whole;
  AnalyseText(text, whole);
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Record pieces;
    TextAnalyzer analyzer(pieces);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 9)(random);
      analyzer.Feed(std::u16string_view(text).substr(at, size));
      at += size;
    }
    analyzer.Finish();
    ASSERT_EQ(pieces.seen, whole.seen) << "round " << round;
  }
}

// Text with no space at all is cut where no word is, and a CJK run goes on
// across the cut: a megabyte of either keeps every pair.
TEST(TextAnalyzerTest, TextWithoutSpacesIsAnalysedWholeInBoundedPieces) {
  std::u16string cjk;
  for (int i = 0; i < 100000; ++i) cjk.push_back(static_cast<char16_t>(0x4E00 + i % 500));
  Record record;
  TextAnalyzer analyzer(record);
  for (std::size_t at = 0; at < cjk.size(); at += 4095) {
    analyzer.Feed(std::u16string_view(cjk).substr(at, 4095));
  }
  analyzer.Finish();
  ASSERT_EQ(record.seen.size(), cjk.size());  // n - 1 pairs and the last alone
  for (std::size_t i = 0; i + 1 < record.seen.size(); ++i) {
    ASSERT_EQ(record.seen[i].position, i);
    ASSERT_EQ(record.seen[i].kind, TermKind::kCjkPair);
  }
  EXPECT_EQ(record.seen.back().kind, TermKind::kCjkLast);

  std::u16string code;
  for (int i = 0; i < 20000; ++i) code += u"f(a,bb)=";
  Record words;
  AnalyseText(code, words);
  ASSERT_EQ(words.seen.size(), 20000u);
  for (const Seen& seen : words.seen) ASSERT_EQ(seen.term, "bb");
}

TEST(TextAnalyzerTest, ABreakInTheTextLeavesAGapNoPhraseCrosses) {
  Record record;
  TextAnalyzer analyzer(record);
  analyzer.Feed(u"Annual rep");
  analyzer.BreakText();
  analyzer.Feed(u"ort 東京");
  analyzer.BreakText();
  analyzer.Feed(u"都");
  analyzer.Finish();
  std::string out;
  for (const auto& seen : record.seen) out += seen.term + "@" + std::to_string(seen.position) + " ";
  EXPECT_EQ(out, "annual@0 rep@1 ort@3 東京@4 京@5 都@7 ");
}

TEST(TextAnalyzerTest, PositionsCountDroppedWordsAndParts) {
  const std::vector<Seen> seen = Analyse("a cat, l'homme, and x y zz");
  std::vector<std::uint32_t> positions;
  for (const Seen& term : seen) positions.push_back(term.position);
  // a@0 cat@1 (l@2 dropped) homme@3 and@4 x@5 y@6 zz@7
  EXPECT_EQ(positions, (std::vector<std::uint32_t>{1, 3, 4, 7}));
}

TEST(TermFoldTest, BareTermsLoseTheAccentsOfLatinGreekAndCyrillicOnly) {
  EXPECT_EQ(BareTerm("café"), "cafe");
  EXPECT_EQ(BareTerm("ελληνικά"), "ελληνικα");
  EXPECT_EQ(BareTerm("ёлка"), "елка");
  EXPECT_EQ(BareTerm("cœur"), "coeur");
  EXPECT_EQ(BareTerm("łódź"), "lodz");
  EXPECT_EQ(BareTerm("søren"), "soren");
  // Voicing marks of kana and vowel signs of Devanagari tell words apart.
  EXPECT_EQ(BareTerm("がき"), "がき");
  EXPECT_EQ(BareTerm("किताब"), "किताब");
  EXPECT_EQ(BareTerm("plain"), "plain");
}

}  // namespace
}  // namespace trovix::analysis
