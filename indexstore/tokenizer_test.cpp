// Cutting text into words and counting them: the acceptance rules, the case
// rule of the word map, Unicode classification independent of the locale,
// and words cut by a piece boundary.
#include "indexstore/tokenizer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <map>

#include "indexstore/word_count_map.h"

namespace ordalis {
namespace {

// Counts the accepted words of `pieces` as IndexFile does.
std::map<WString, UINT> CountPieces(const std::vector<std::u16string_view>& pieces) {
  WordCountMap map;
  WordScanner scanner;
  const auto count = [&map](std::u16string_view word) {
    if (!HasBadCodeUnit(word) && AcceptWord(word)) map.CountWord(word);
  };
  for (const std::u16string_view piece : pieces) scanner.Scan(piece, count);
  scanner.Finish(count);
  std::map<WString, UINT> result;
  for (auto& [word, n] : map.TakeSorted()) result[word] = n;
  return result;
}

TEST(TokenizerTest, AcceptanceAndTheCaseRuleOfTheMap) {
  const auto counts = CountPieces({u"The cat's 2nd_try café, CAFE and Café."});
  const std::map<WString, UINT> expected = {
      {u"The", 1}, {u"cat", 1}, {u"café", 2}, {u"CAFE", 1}, {u"and", 1}};
  EXPECT_EQ(counts, expected);

  EXPECT_TRUE(AcceptWord(u"_ab"));
  EXPECT_TRUE(AcceptWord(u"abc123"));
  EXPECT_FALSE(AcceptWord(u"ab"));
  EXPECT_FALSE(AcceptWord(u"9ab"));
  EXPECT_FALSE(AcceptWord(u"\u0663ab")) << "digits of every script count as digits";
  EXPECT_TRUE(HasBadCodeUnit(u"ab\uFEFFc"));
  EXPECT_TRUE(HasBadCodeUnit(u"\uFFEFabc"));
  EXPECT_FALSE(HasBadCodeUnit(u"abc"));
}

TEST(TokenizerTest, LongWordsAreCutToFortyUnitsAndEveryOccurrenceCounts) {
  const WString word(45, u'x');
  const auto counts = CountPieces({word + u" " + word + u" " + word.substr(0, 40) + u"y"});
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts.begin()->first, WString(40, u'x'));
  EXPECT_EQ(counts.begin()->second, 3u);
}

TEST(TokenizerTest, ClassificationIsUnicodeAndIgnoresTheLocale) {
  for (const char* locale : {"C", "C.UTF-8", "POSIX"}) {
    std::setlocale(LC_ALL, locale);
    EXPECT_TRUE(IsWordUnit(u'é', false)) << locale;
    EXPECT_TRUE(IsWordUnit(u'Ж', false));
    EXPECT_TRUE(IsWordUnit(u'中', false));
    EXPECT_TRUE(IsWordUnit(u'\u0301', false)) << "combining marks stay inside words";
    EXPECT_TRUE(IsWordUnit(u'_', false));
    EXPECT_FALSE(IsWordUnit(u'*', false));
    EXPECT_TRUE(IsWordUnit(u'*', true));
    EXPECT_FALSE(IsWordUnit(u'\'', false));
    EXPECT_FALSE(IsWordUnit(u'\u00A0', false)) << "no-break space separates";
    EXPECT_FALSE(IsWordUnit(static_cast<WCHAR>(0xD83D), false)) << "surrogates separate";
    EXPECT_TRUE(IsDigitUnit(u'7'));
    EXPECT_FALSE(IsDigitUnit(u'x'));
  }
  std::setlocale(LC_ALL, "C");
  const auto counts = CountPieces({u"Grüße aus Москва и 東京都 — ok"});
  EXPECT_EQ(counts.count(u"Grüße"), 1u);
  EXPECT_EQ(counts.count(u"Москва"), 1u);
  EXPECT_EQ(counts.count(u"東京都"), 1u);
  EXPECT_EQ(counts.count(u"aus"), 1u);
  EXPECT_EQ(counts.size(), 4u);
}

TEST(TokenizerTest, NextTokenTerminatesInPlaceAndResumes) {
  WCHAR text[] = u"  report, bud*get  x";
  WCHAR* context = nullptr;
  WCHAR* token = NextToken(text, &context, /*query_mode=*/true);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(WString(token), u"report");
  token = NextToken(nullptr, &context, true);
  EXPECT_EQ(WString(token), u"bud*get");
  token = NextToken(nullptr, &context, true);
  EXPECT_EQ(WString(token), u"x");
  EXPECT_EQ(NextToken(nullptr, &context, true), nullptr);
  EXPECT_EQ(*context, 0);
  EXPECT_EQ(NextToken(nullptr, &context, true), nullptr) << "the end stays the end";

  WCHAR words[] = u"bud*get";
  EXPECT_EQ(WString(NextToken(words, &context, /*query_mode=*/false)), u"bud");
  EXPECT_EQ(WString(NextToken(nullptr, &context, false)), u"get");
  WCHAR empty[] = u" ,. ";
  EXPECT_EQ(NextToken(empty, &context, false), nullptr);
}

TEST(TokenizerTest, WordsCutByPieceBoundariesAreJoined) {
  EXPECT_EQ(CountPieces({u"budg", u"et plan"}),
            (std::map<WString, UINT>{{u"budget", 1}, {u"plan", 1}}));
  // A word over three pieces, and a boundary right after a word.
  EXPECT_EQ(CountPieces({u"x ann", u"ual", u"report ", u"done"}),
            (std::map<WString, UINT>{{u"annualreport", 1}, {u"done", 1}}));
  // Two letters at the end and one at the start make one accepted word.
  EXPECT_EQ(CountPieces({u"..ab", u"c.."}), (std::map<WString, UINT>{{u"abc", 1}}));
  // A separator at the start of a piece ends the held word.
  EXPECT_EQ(CountPieces({u"first", u" second"}),
            (std::map<WString, UINT>{{u"first", 1}, {u"second", 1}}));
  // A joined word longer than the limit keeps its first forty units.
  EXPECT_EQ(CountPieces({WString(30, u'a'), WString(30, u'b')}),
            (std::map<WString, UINT>{{WString(30, u'a') + WString(10, u'b'), 1}}));
  EXPECT_TRUE(CountPieces({u"", u"   "}).empty());
}

TEST(WordCountMapTest, KeysCompareWithAToZFoldedAndPrefixesFirst) {
  EXPECT_TRUE(WordKeyLess(u"abc", u"ABD"));
  EXPECT_FALSE(WordKeyLess(u"ABC", u"abc"));
  EXPECT_FALSE(WordKeyLess(u"abc", u"ABC"));
  EXPECT_TRUE(WordKeyLess(u"abc", u"abcd"));
  EXPECT_TRUE(WordKeyLess(u"E", u"é")) << "é is not folded";

  WordCountMap map;
  EXPECT_EQ(map.CountWord(u""), 0u);
  EXPECT_EQ(map.CountWord(u"Zeta"), 1u);
  EXPECT_EQ(map.CountWord(u"alpha"), 1u);
  EXPECT_EQ(map.CountWord(u"ZETA"), 2u);
  EXPECT_EQ(map.CountWord(u"Alpha"), 2u);
  const auto entries = map.TakeSorted();
  EXPECT_TRUE(map.empty());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (std::pair<WString, UINT>{u"alpha", 2}));
  EXPECT_EQ(entries[1], (std::pair<WString, UINT>{u"Zeta", 2}));
}

}  // namespace
}  // namespace ordalis
