#include "platform/guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/wstring.h"

namespace {

constexpr const char* kSample = "{26C95553-D9BE-43DB-ABCE-E24019190A41}";

// Parsing is constexpr, so the compile-time path is checked too.
static_assert(MakeGuid("{00000000-0000-0000-C000-000000000046}") == IID_IUnknown);
static_assert(!(IID_IUnknown == IID_IClassFactory));

TEST(ParseGuid, RefusesMalformedTextAndLeavesTheTargetAlone) {
  const char* const bad[] = {
      "",
      "{26C95553-D9BE-43DB-ABCE-E24019190A4}",    // one digit short
      "{26C95553-D9BE-43DB-ABCE-E24019190A411}",  // one digit too many
      "26C95553-D9BE-43DB-ABCE-E24019190A41",     // no braces
      "(26C95553-D9BE-43DB-ABCE-E24019190A41)",   // wrong brackets
      "{26C95553-D9BE-43DB-ABCE-E24019190A41",    // no closing brace
      "{26C95553-D9BE-43DB-ABCG-E24019190A41}",   // G is no hex digit
      "{26C9555 -D9BE-43DB-ABCE-E24019190A41}",   // blank
      "{26C95553-D9BE-43DB-ABCE-E2401919 A41}",   // blank in the last group
      "{26C95553D-9BE-43DB-ABCE-E24019190A41}",   // dash moved right
      "{26C95553-D9BE43-DB-ABCE-E24019190A41}",   // dash moved right
      "{26C95553-D9BE-43DB-ABCEE-24019190A41}",   // dash moved right
      "{26C95553-D9BE-43DB-ABCE-E240-19190A41}",  // extra dash, digit missing
      "{26C95553+D9BE-43DB-ABCE-E24019190A41}",   // not a dash
      "{-26C9555-D9BE-43DB-ABCE-E24019190A41}",   // sign in a number
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    GUID g = IID_IDispatch;
    EXPECT_FALSE(ParseGuid(text, g));
    EXPECT_EQ(g, IID_IDispatch);
  }
}

TEST(ParseGuid, RoundTripsWithGuidToString) {
  GUID g{};
  ASSERT_TRUE(ParseGuid(kSample, g));
  EXPECT_EQ(GuidToString(g), kSample);
  EXPECT_EQ(GuidToWString(g), Utf8ToUtf16(kSample));
  // Lower case is accepted; the text form is always upper case.
  GUID lower{};
  ASSERT_TRUE(ParseGuid("{26c95553-d9be-43db-abce-e24019190a41}", lower));
  EXPECT_EQ(lower, g);

  std::mt19937 random(99);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 1000; ++i) {
    GUID original{};
    auto* bytes = reinterpret_cast<unsigned char*>(&original);
    for (std::size_t k = 0; k < sizeof original; ++k)
      bytes[k] = static_cast<unsigned char>(byte(random));
    GUID parsed{};
    ASSERT_TRUE(ParseGuid(GuidToString(original), parsed));
    ASSERT_EQ(parsed, original) << GuidToString(original);
  }
  EXPECT_EQ(GuidToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(StandardIids, HaveTheirWindowsValuesAndLayout) {
  struct Known {
    const GUID& iid;
    const char* text;
  };
  const Known known[] = {
      {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
      {IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
      {IID_IPersist, "{0000010C-0000-0000-C000-000000000046}"},
      {IID_IPersistFile, "{0000010B-0000-0000-C000-000000000046}"},
      {IID_IDispatch, "{00020400-0000-0000-C000-000000000046}"},
      {IID_ITypeInfo, "{00020401-0000-0000-C000-000000000046}"},
      {IID_ISupportErrorInfo, "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
      {IID_IErrorInfo, "{1CF2B120-547D-101B-8E65-08002B2BD119}"},
      {IID_IConnectionPointContainer, "{B196B284-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IEnumConnectionPoints, "{B196B285-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IConnectionPoint, "{B196B286-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IFilter, "{89BCB740-6119-101A-BCB7-00DD010655AF}"},
  };
  for (const Known& k : known) EXPECT_EQ(GuidToString(k.iid), k.text);

  // Records store GUIDs in the Windows byte order: the first three fields
  // little-endian, Data4 as written.
  static_assert(sizeof(GUID) == 16);
  const unsigned char expected[16] = {0x40, 0xB7, 0xBC, 0x89, 0x19, 0x61, 0x1A, 0x10,
                                      0xBC, 0xB7, 0x00, 0xDD, 0x01, 0x06, 0x55, 0xAF};
  EXPECT_EQ(std::memcmp(&IID_IFilter, expected, sizeof expected), 0);
}

}  // namespace
