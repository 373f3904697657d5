#include "analysis/query_words.h"

#include <gtest/gtest.h>
#include <unicode/unistr.h>

#include <string>

namespace trovix::analysis {
namespace {

std::u16string U16(const std::string& utf8) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

// Each word as "[term+offset ...]", a prefix marked "*", a pattern "P".
std::string Words(const std::string& query) {
  std::string out;
  for (const QueryWord& word : AnalyseQueryWords(U16(query))) {
    out += '[';
    for (std::size_t i = 0; i < word.terms.size(); ++i) {
      const QueryTerm& term = word.terms[i];
      if (i > 0) out += ' ';
      out += term.text + "+" + std::to_string(term.offset) + (term.prefix ? "*" : "") +
             (term.pattern ? "P" : "");
    }
    out += ']';
  }
  return out;
}

TEST(QueryWordsTest, WordsAreAnalysedAsTheTextIs) {
  EXPECT_EQ(Words("CAFÉ straße"), "[café+0][strasse+0]");
  EXPECT_EQ(Words("INV-2024-0042"), "[inv+0 2024+1 0042+2]");
  // Compounds match by their parts side by side; a dropped part still
  // keeps its distance.
  EXPECT_EQ(Words("l’homme os.path"), "[homme+0][os+0 path+1]");
  EXPECT_EQ(Words("a-cat"), "[cat+0]");
  EXPECT_EQ(Words("cat-a-dog"), "[cat+0 dog+2]");
}

TEST(QueryWordsTest, QuotesMakeOnePhraseWordAndEndTheWordsTheyTouch) {
  EXPECT_EQ(Words("\"annual report\" budget"), "[annual+0 report+1][budget+0]");
  EXPECT_EQ(Words("xx\"New York\"yy"), "[xx+0][new+0 york+1][yy+0]");
  // An unclosed quote runs to the end; an empty phrase is no word.
  EXPECT_EQ(Words("\"year end rep*"), "[year+0 end+1 rep+2*]");
  EXPECT_EQ(Words("\"\" \"  \""), "");
  EXPECT_EQ(Words("\"東京 タワー\""), "[東京+0 タワ+2 ワー+3]");
}

TEST(QueryWordsTest, CjkPiecesMatchByTheirPairsAndALoneCharacterByPrefix) {
  EXPECT_EQ(Words("東京都"), "[東京+0 京都+1]");
  EXPECT_EQ(Words("天気"), "[天気+0]");
  EXPECT_EQ(Words("東"), "[東+0*]");
  EXPECT_EQ(Words("Windows版"), "[windows+0 版+1*]");
  EXPECT_EQ(Words("東京都 天気"), "[東京+0 京都+1][天気+0]");
}

TEST(QueryWordsTest, StarsMakePrefixesAtTheEndAndPatternsElsewhere) {
  EXPECT_EQ(Words("serializ* INV-20*"), "[serializ+0*][inv+0 20+1*]");
  EXPECT_EQ(Words("Re*Ort *port"), "[re*ort+0P][*port+0P]");
  EXPECT_EQ(Words("* ** a*"), "");
}

TEST(QueryWordsTest, QueriesWithoutASearchableTermHaveNoWords) {
  for (const char* query : {"", "   ", "!!", "a", "x y", "C++", "-", "é", "、。"}) {
    EXPECT_TRUE(AnalyseQueryWords(U16(query)).empty()) << query;
  }
}

}  // namespace
}  // namespace trovix::analysis
