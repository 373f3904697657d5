#include "analysis/ascii_words.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace trovix::analysis {
namespace {

using Segments = std::vector<std::u16string>;

bool HoldsAlnum(std::u16string_view word) {
  for (const char16_t unit : word) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
        (unit >= u'0' && unit <= u'9')) {
      return true;
    }
  }
  return false;
}

// The words that hold a letter or digit: what both scans must agree on.
Segments FastWords(const std::u16string& text) {
  Segments words;
  ScanAsciiWords(text, [&](std::size_t start, std::size_t end) {
    const std::u16string word = text.substr(start, end - start);
    if (HoldsAlnum(word)) words.push_back(word);
  });
  return words;
}

Segments IcuWords(const std::u16string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(
      icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  EXPECT_TRUE(U_SUCCESS(status));
  const icu::UnicodeString alias(false, text.data(), static_cast<int32_t>(text.size()));
  iterator->setText(alias);
  Segments words;
  std::int32_t start = iterator->first();
  for (std::int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
       start = end, end = iterator->next()) {
    const std::u16string word = text.substr(start, end - start);
    if (iterator->getRuleStatus() != UBRK_WORD_NONE && HoldsAlnum(word)) words.push_back(word);
  }
  return words;
}

// Random strings over the characters the rules treat differently, many
// times over: every disagreement with ICU is a fault of the fast scan.
TEST(AsciiWordsTest, AgreesWithIcuOnRandomAsciiText) {
  const std::u16string alphabet = u"aZ09_.',;:\"@- /#()!?+*%$&=<>[]{}|\\^`~\t\n";
  std::mt19937 random(29);
  for (int round = 0; round < 20000; ++round) {
    std::u16string text;
    const int length = std::uniform_int_distribution<int>(1, 14)(random);
    for (int i = 0; i < length; ++i) {
      text.push_back(
          alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)]);
    }
    ASSERT_EQ(FastWords(text), IcuWords(text)) << std::string(text.begin(), text.end());
  }
}

TEST(AsciiWordsTest, AgreesWithIcuOnCodeAndProse) {
  const std::u16string text =
      u"int main(int argc, char** argv) { return x86_64 ? 1.5e3 : a.b.c; } // it's 3,000.5 "
      u"The U.S.A. e.g. don't 'quoted' \"double\" me@example.com __init__ 1;2;3 a..b 9.a";
  EXPECT_EQ(FastWords(text), IcuWords(text));
}

}  // namespace
}  // namespace trovix::analysis
