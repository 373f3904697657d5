#include "platform/wstring.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>

namespace {

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string s;
  for (unsigned v : values) s += static_cast<char>(v);
  return s;
}

// Every bad byte b must come out as the lone surrogate U+DC00 + b.
WString Escaped(std::initializer_list<unsigned> bytes) {
  WString s;
  for (unsigned b : bytes) s += static_cast<char16_t>(0xDC00 + b);
  return s;
}

TEST(Utf8ToUtf16, EveryByteSequenceRoundTrips) {
  for (unsigned b = 0; b < 0x100; ++b) {
    const std::string one(1, static_cast<char>(b));
    ASSERT_EQ(Utf16ToUtf8(Utf8ToUtf16(one)), one) << b;
    for (unsigned c = 0; c < 0x100; ++c) {
      const std::string two = one + static_cast<char>(c);
      ASSERT_EQ(Utf16ToUtf8(Utf8ToUtf16(two)), two) << b << " " << c;
    }
  }
  // Random names mixing ASCII, lead bytes, continuation bytes and noise, so
  // that valid sequences, truncated ones and stray bytes meet at every seam.
  std::mt19937 random(1234);
  const unsigned char interesting[] = {'a',  '/',  0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF,
                                       0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x90};
  std::uniform_int_distribution<int> length(0, 24), any(0, 255), pick(0, sizeof interesting);
  for (int i = 0; i < 20'000; ++i) {
    std::string name;
    for (int n = length(random); n > 0; --n) {
      const int k = pick(random);
      name += static_cast<char>(k == sizeof interesting ? any(random) : interesting[k]);
    }
    ASSERT_EQ(Utf16ToUtf8(Utf8ToUtf16(name)), name);
  }
}

TEST(Utf8ToUtf16, DecodesValidTextAndPairsSupplementaryCharacters) {
  EXPECT_EQ(Utf8ToUtf16("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(Utf8ToUtf16("\xEF\xBF\xBF"), u"\uFFFF");
  EXPECT_EQ(Utf8ToUtf16(Bytes({0xF0, 0x9F, 0x98, 0x80})), (WString{0xD83D, 0xDE00}));  // U+1F600
  EXPECT_EQ(Utf8ToUtf16(Bytes({0xF4, 0x8F, 0xBF, 0xBF})), (WString{0xDBFF, 0xDFFF}));  // U+10FFFF
  EXPECT_EQ(Utf8ToUtf16(Bytes({0xF0, 0x90, 0x80, 0x80})), (WString{0xD800, 0xDC00}));  // U+10000
  EXPECT_EQ(Utf16ToUtf8(WString{0xD83D, 0xDE00}), Bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)), (WString{u'a', 0, u'b'}));
}

TEST(Utf8ToUtf16, MalformedSequencesBecomeEscapedBytes) {
  struct Case {
    const char* what;
    std::initializer_list<unsigned> bytes;
  };
  const Case cases[] = {
      {"overlong slash", {0xC0, 0xAF}},
      {"overlong NUL", {0xC1, 0x80}},
      {"overlong three-byte", {0xE0, 0x80, 0xAF}},
      {"overlong four-byte", {0xF0, 0x8F, 0xBF, 0xBF}},
      {"encoded high surrogate", {0xED, 0xA0, 0x80}},
      {"encoded low surrogate", {0xED, 0xBF, 0xBF}},
      {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}},
      {"lead byte F5", {0xF5, 0x80, 0x80, 0x80}},
      {"five-byte form", {0xF8, 0x88, 0x80, 0x80, 0x80}},
      {"lone continuation", {0x80}},
      {"truncated three-byte", {0xE2, 0x82}},
      {"FE FF", {0xFE, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf8ToUtf16(Bytes(c.bytes)), Escaped(c.bytes));
  }
  // A bad byte does not swallow the valid text after it.
  EXPECT_EQ(Utf8ToUtf16(Bytes({0xE2, 0x82, 'x'})), (Escaped({0xE2, 0x82}) + u"x"));
  EXPECT_EQ(Utf8ToUtf16(Bytes({0xFF, 0xC3, 0xA9})), (Escaped({0xFF}) + u"\u00E9"));
}

TEST(Utf16ToUtf8, LoneSurrogatesThatStandForNoByteBecomeReplacementCharacters) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(WString{0xD800}), replacement);              // lone high
  EXPECT_EQ(Utf16ToUtf8(WString{0xD800, u'a'}), replacement + "a");  // high without low
  EXPECT_EQ(Utf16ToUtf8(WString{0xDC41}), replacement);              // would be ASCII 'A'
  EXPECT_EQ(Utf16ToUtf8(WString{0xDCFF}), Bytes({0xFF}));            // an escaped byte
  EXPECT_EQ(Utf16ToUtf8(WString{0xDBFF, 0xDCFF}), Bytes({0xF4, 0x8F, 0xB3, 0xBF}));  // a pair
}

TEST(WcsLen, CountsAndStopsAtTheCap) {
  const WCHAR* text = u"hello";
  EXPECT_EQ(WcsLen(text), 5u);
  EXPECT_EQ(WcsLen(nullptr), 0u);
  EXPECT_EQ(WcsLen(u""), 0u);
  EXPECT_EQ(WcsLenCapped(text, 10), 5u);
  EXPECT_EQ(WcsLenCapped(text, 5), 5u);
  EXPECT_EQ(WcsLenCapped(text, 4), 5u);  // limit + 1: "longer than the limit"
  EXPECT_EQ(WcsLenCapped(text, 0), 1u);
  EXPECT_EQ(WcsLenCapped(nullptr, 3), 0u);
  EXPECT_EQ(ToWString(nullptr), WString());
  EXPECT_EQ(ToUtf8(u"caf\u00E9"), "caf\xC3\xA9");
}

TEST(WcsLen, CappedCountNeverReadsPastLimitPlusOne) {
  // An unterminated string that ends right before an inaccessible page: any
  // read beyond limit + 1 units faults.
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<char*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  constexpr std::size_t kUnits = 8;
  auto* text = reinterpret_cast<WCHAR*>(base + page) - kUnits;
  for (std::size_t i = 0; i < kUnits; ++i) text[i] = u'x';
  EXPECT_EQ(WcsLenCapped(text, kUnits - 1), kUnits);
  EXPECT_EQ(WcsLenCapped(text, 3), 4u);
  munmap(map, 2 * page);
}

}  // namespace
