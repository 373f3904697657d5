#include "analysis/passages.h"

#include <gtest/gtest.h>
#include <unicode/unistr.h>

#include <string>

namespace trovix::analysis {
namespace {

std::u16string U16(const std::string& utf8) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
  return std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
}

std::string U8(std::u16string_view text) {
  std::string out;
  icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())).toUTF8String(out);
  return out;
}

// The passages of `text` for `query`, each with its marks in brackets.
std::string Snip(const std::string& query, const std::string& text, std::size_t count = 2,
                 std::size_t width = 160, bool exact = false) {
  const std::u16string whole = U16(text);
  PassageFinder finder(AnalyseQueryWords(U16(query)), exact);
  finder.Feed(whole);
  finder.Finish();
  std::string out;
  for (const Passage& passage : finder.Passages(whole, count, width)) {
    std::u16string marked;
    std::size_t at = 0;
    for (const auto& [from, to] : passage.marks) {
      marked +=
          passage.text.substr(at, from - at) + u"[" + passage.text.substr(from, to - from) + u"]";
      at = to;
    }
    marked += passage.text.substr(at);
    out += (out.empty() ? "" : " | ") + U8(marked);
  }
  return out;
}

TEST(PassagesTest, MarksTheTermsTheIndexMatches) {
  // Case and accents fold as in the index; a prefix marks the whole word.
  EXPECT_EQ(Snip("cafe budg*", "Le CAFÉ and the Budget."), "Le [CAFÉ] and the [Budget].");
  EXPECT_EQ(Snip("cafe", "Le café", 2, 160, /*exact=*/true), "");
  // A phrase only where its words stand together, marked as one stretch.
  EXPECT_EQ(Snip("\"annual report\"", "report annual; the annual  report here"),
            "report annual; the [annual report] here");
  EXPECT_EQ(Snip("\"annual report\"", "annual cats report"), "");
  // A compound typed whole marks its parts standing together.
  EXPECT_EQ(Snip("x86-64", "built for x86_64 and x86"), "built for [x86_64] and x86");
  // CJK pieces by their pairs.
  EXPECT_EQ(Snip("東京", "私は東京都に住む"), "私は[東京]都に住む");
  EXPECT_EQ(Snip("京東", "私は東京都に住む"), "");
}

TEST(PassagesTest, AShortWordOfAPhraseMustStandInItsPlace) {
  // One letter and one digit are no terms of the index; the phrase still
  // holds them, before, inside and after its terms.
  EXPECT_EQ(Snip("\"vitamin a deficiency\"", "vitamin b deficiency; vitamin a deficiency"),
            "vitamin b deficiency; [vitamin a deficiency]");
  EXPECT_EQ(Snip("\"vitamin a deficiency\"", "vitamin b deficiency"), "");
  EXPECT_EQ(Snip("\"type 2 diabetes\"", "Type 1 diabetes and type 2 diabetes"),
            "Type 1 diabetes and [type 2 diabetes]");
  EXPECT_EQ(Snip("\"a plan\"", "the plan, a plan"), "the plan, [a plan]");
  EXPECT_EQ(Snip("\"plan B\"", "plan a or plan b"), "plan a or [plan b]");
  PassageFinder finder(AnalyseQueryWords(u"\"plan b\" budget"), false);
  finder.Feed(u"plan c and the budget");
  EXPECT_FALSE(finder.HoldsEveryWord());
  finder.Feed(u" and plan b");
  finder.Finish();
  EXPECT_TRUE(finder.HoldsEveryWord());
}

TEST(PassagesTest, ChoosesThePassageWithTheMostWordsAndCutsAtSpaces) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "alpha filler words here. ";
  const std::size_t both = text.size();
  text += "the alpha and beta together. ";
  for (int i = 0; i < 40; ++i) text += "more filler text follows. ";
  const std::string one = Snip("alpha beta", text, 1, 60);
  EXPECT_NE(one.find("[alpha] and [beta]"), std::string::npos) << one;
  // Cut inside the text: ellipses at both ends, never half a word.
  EXPECT_EQ(one.rfind("\u2026", 0), 0u) << one;
  EXPECT_EQ(one.substr(one.size() - 3), "\u2026") << one;
  EXPECT_LE(U16(one).size(), 60u + 2 + 4);
  EXPECT_GT(both, 0u);
  // Two passages come apart, in the order of the text.
  const std::string two = Snip("alpha beta", text, 2, 60);
  const std::size_t bar = two.find(" | ");
  ASSERT_NE(bar, std::string::npos) << two;
  EXPECT_NE(two.find("[beta]"), std::string::npos);
  EXPECT_LT(two.find("[alpha]"), bar);
}

TEST(PassagesTest, WhiteSpaceAndControlsBecomeOneSpace) {
  EXPECT_EQ(Snip("beta", "alpha\n\n\t beta\r\ngamma\x01"), "alpha [beta] gamma");
}

TEST(PassagesTest, SatisfiedOnlyOnceEveryWordHasItsPassages) {
  PassageFinder finder(AnalyseQueryWords(u"alpha beta"), false);
  finder.Feed(u"alpha only here. ");
  EXPECT_FALSE(finder.Satisfied(1, 160));
  finder.Feed(u"now alpha beta. ");
  finder.Finish();
  EXPECT_TRUE(finder.Satisfied(1, 160));
  EXPECT_FALSE(finder.Satisfied(2, 160));
}

TEST(PassagesTest, HostileTextStaysBounded) {
  // A query word everywhere: the choice stays quick and the passage short.
  std::u16string text;
  for (int i = 0; i < 300000; ++i) text += u"ab ";
  PassageFinder finder(AnalyseQueryWords(u"ab"), false);
  finder.Feed(text);
  finder.Finish();
  const auto passages = finder.Passages(text, 2, 160);
  ASSERT_EQ(passages.size(), 2u);
  EXPECT_LE(passages[0].text.size(), 170u);
  EXPECT_FALSE(passages[0].marks.empty());
  // No word of the query in the text: no passage; an empty query, none.
  PassageFinder none(AnalyseQueryWords(u"zz"), false);
  none.Feed(u"\0\0\xFFFF");
  none.Finish();
  EXPECT_TRUE(none.Passages(u"\0\0\xFFFF", 2, 160).empty());
}

}  // namespace
}  // namespace trovix::analysis
