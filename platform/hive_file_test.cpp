#include "platform/hive_file.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace trovix {
namespace {

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
  std::vector<BYTE> bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

void ExpectSameKey(const HiveKey& a, const HiveKey& b) {
  EXPECT_EQ(a.name(), b.name());
  ASSERT_EQ(a.values().size(), b.values().size()) << Utf16ToUtf8(a.name());
  for (std::size_t i = 0; i < a.values().size(); ++i) {
    EXPECT_EQ(a.values()[i].name, b.values()[i].name);
    EXPECT_EQ(a.values()[i].type, b.values()[i].type);
    EXPECT_EQ(a.values()[i].data, b.values()[i].data) << Utf16ToUtf8(a.values()[i].name);
  }
  ASSERT_EQ(a.subkeys().size(), b.subkeys().size()) << Utf16ToUtf8(a.name());
  for (std::size_t i = 0; i < a.subkeys().size(); ++i)
    ExpectSameKey(a.subkeys()[i], b.subkeys()[i]);
}

class HiveFileTest : public ::testing::Test {
 protected:
  static void Set(HiveKey& key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
    key.SetValue({WString(name), type, std::move(data)});
  }

  // Parses `text` expecting success.
  static Hive Parse(std::string_view text) {
    Hive hive("HKEY_CURRENT_USER");
    HiveParseError error;
    EXPECT_TRUE(ParseHive(text, &hive, &error)) << error.line << ": " << error.reason;
    return hive;
  }

  trovix::testing::PrivateTree tree_;
};

TEST_F(HiveFileTest, EveryTypeAndAwkwardTextRoundTrip) {
  Hive hive("HKEY_CURRENT_USER");
  HiveKey& key = hive.Create({u"Software", u"Quillon", u"Trovix"});
  Set(key, u"", REG_SZ, Utf16Bytes(std::u16string_view(u"default\0", 8)));
  Set(key, u"Quote \"and\" back\\slash", REG_SZ,
      Utf16Bytes(std::u16string_view(u"C:\\\"x\"\\\0", 8)));
  Set(key, u"Größe", REG_SZ, Utf16Bytes(std::u16string_view(u"日本 \U0001F600\0", 6)));
  // Bytes of a file name that were not UTF-8 travel as U+DC80..U+DCFF.
  Set(key, u"Bad bytes", REG_SZ, Utf16Bytes(std::u16string_view(u"a\xDCFF\xDC80z\0", 5)));
  Set(key, u"Count", REG_DWORD, {0x2a, 0, 0, 0x80});
  Set(key, u"Blob", REG_BINARY, {0x01, 0xff, 0x00});
  Set(key, u"Empty blob", REG_BINARY, {});
  Set(key, u"List", REG_MULTI_SZ, Utf16Bytes(std::u16string_view(u"first\0se\"c\0\0", 12)));
  Set(key, u"Empty list", REG_MULTI_SZ, Utf16Bytes(std::u16string_view(u"\0", 1)));
  Set(key, u"None", REG_NONE, {7});
  Set(key, u"Expand", 2, Utf16Bytes(std::u16string_view(u"%HOME%\0", 7)));
  // Strings no readable form reproduces: they must come back byte for byte.
  Set(key, u"Odd size", REG_SZ, {0x41, 0x00, 0x42});
  Set(key, u"No terminator", REG_SZ, Utf16Bytes(u"abc"));
  Set(key, u"Line break", REG_SZ, Utf16Bytes(std::u16string_view(u"a\nb\0", 4)));
  Set(key, u"Lone high surrogate", REG_SZ, Utf16Bytes(std::u16string_view(u"\xD800\0", 2)));
  Set(key, u"Bytes that join", REG_SZ, Utf16Bytes(std::u16string_view(u"\xDCC3\xDCA9\0", 3)));
  Set(key, u"List with empty", REG_MULTI_SZ, Utf16Bytes(std::u16string_view(u"a\0\0b\0\0", 6)));
  Set(key, u"Short dword", REG_DWORD, {1, 2});
  Set(key, u"Unterminated list", REG_MULTI_SZ, Utf16Bytes(std::u16string_view(u"a\0", 2)));
  hive.Create({u"Software", u"Quillon", u"Trovix", u"Kestine", u"/home/ann"});
  hive.Create({u"Software", u"Empty]"});
  Set(hive.root(), u"At root", REG_DWORD, {1, 0, 0, 0});

  const std::string text = SerializeHive(hive);
  EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Quote \\\"and\\\" back\\\\slash\"=\"C:\\\\\\\"x\\\"\\\\\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"Bad bytes\"=\"a\xFF\x80z\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:8000002a\n"), std::string::npos);
  EXPECT_NE(text.find("\"List\"=multi_sz:\"first\",\"se\\\"c\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Odd size\"=hex(1):41,00,42\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Quillon\\Trovix\\Kestine\\/home/ann]\n"),
            std::string::npos);
  const Hive back = Parse(text);
  ExpectSameKey(hive.root(), back.root());
  EXPECT_EQ(SerializeHive(back), text);
}

TEST_F(HiveFileTest, ExactLayoutOfASmallHive) {
  Hive hive("HKEY_LOCAL_MACHINE");
  Set(hive.Create({u"Software", u"Classes", u".txt"}), u"", REG_SZ,
      Utf16Bytes(std::u16string_view(u"txtfile\0", 8)));
  hive.Create({u"Software", u"Classes", u".md"});
  EXPECT_EQ(
      SerializeHive(hive),
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n[HKEY_LOCAL_MACHINE\\Software\\Classes]\n"
      "\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\.md]\n"
      "\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\.txt]\n@=\"txtfile\"\n");
  EXPECT_EQ(SerializeHive(Hive("HKEY_LOCAL_MACHINE")), "REGEDIT4\n");
}

TEST_F(HiveFileTest, ReadsWhatPeopleAndOtherToolsWrite) {
  const Hive hive = Parse(
      "\xEF\xBB\xBFREGEDIT4\r\n\r\n; a comment\r\n[hkey_current_user\\A]\r\n"
      "\"Hex\"=hex:01,02,\\\r\n  03\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "\"D\"=dword:2a\n"
      "\"Path\"=\"C:\\\\\"\n"
      "\"Folded\"=multi_sz:\"a\\\"b\",\\\n  \"c\"\n"
      "[HKEY_CURRENT_USER\\a]\n\"More\"=\"x\"\n");
  const HiveKey* a = hive.Find({u"A"});
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->FindValue(u"hex")->data, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(a->FindValue(u"Multi")->type, REG_MULTI_SZ);
  EXPECT_EQ(a->FindValue(u"Multi")->data, Utf16Bytes(std::u16string_view(u"a\0b\0\0", 5)));
  EXPECT_EQ(a->FindValue(u"D")->data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
  EXPECT_EQ(a->FindValue(u"Path")->data, Utf16Bytes(std::u16string_view(u"C:\\\0", 4)));
  EXPECT_EQ(a->FindValue(u"Folded")->data, Utf16Bytes(std::u16string_view(u"a\"b\0c\0\0", 7)));
  EXPECT_NE(a->FindValue(u"More"), nullptr);
  EXPECT_EQ(hive.root().subkeys().size(), 1u);
  EXPECT_TRUE(Parse("").root().subkeys().empty());
}

// Sections out of tree order, going up and down, naming a key again in
// another case, and a new branch beside a deep one: each value lands in the
// key its section names, whatever the section before it was.
TEST_F(HiveFileTest, SectionsInAnyOrderReachTheKeysTheyName) {
  const Hive hive = Parse(
      "REGEDIT4\n"
      "[HKEY_CURRENT_USER\\A\\B\\C]\n\"v\"=\"abc\"\n"
      "[HKEY_CURRENT_USER\\A]\n\"v\"=\"a\"\n"
      "[HKEY_CURRENT_USER\\A\\B\\D]\n\"v\"=\"abd\"\n"
      "[HKEY_CURRENT_USER\\A\\AA]\n\"v\"=\"aa\"\n"
      "[HKEY_CURRENT_USER\\a\\b\\c]\n\"w\"=\"again\"\n"
      "[HKEY_CURRENT_USER\\A\\B\\C\\E]\n\"v\"=\"abce\"\n"
      "[HKEY_CURRENT_USER\\Z]\n"
      "[HKEY_CURRENT_USER\\A\\B]\n\"v\"=\"ab\"\n");
  const auto text = [&](const KeyPath& path, std::u16string_view name) -> std::string {
    const HiveKey* key = hive.Find(path);
    const HiveValue* value = key != nullptr ? key->FindValue(name) : nullptr;
    if (value == nullptr) return "(none)";
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value->data.data()),
                                           value->data.size() / 2 - 1));
  };
  EXPECT_EQ(text({u"A"}, u"v"), "a");
  EXPECT_EQ(text({u"A", u"AA"}, u"v"), "aa");
  EXPECT_EQ(text({u"A", u"B"}, u"v"), "ab");
  EXPECT_EQ(text({u"A", u"B", u"C"}, u"v"), "abc");
  EXPECT_EQ(text({u"A", u"B", u"C"}, u"w"), "again");
  EXPECT_EQ(text({u"A", u"B", u"D"}, u"v"), "abd");
  EXPECT_EQ(text({u"A", u"B", u"C", u"E"}, u"v"), "abce");
  ASSERT_EQ(hive.root().subkeys().size(), 2u);
  EXPECT_EQ(hive.Find({u"a", u"b"})->subkeys().size(), 2u) << "C and D, C once";
  EXPECT_EQ(hive.Find({u"A", u"B", u"C"})->name(), u"C") << "the first spelling stays";
  // An invalid name is refused also after a section that shared its start.
  Hive bad("HKEY_CURRENT_USER");
  HiveParseError error;
  EXPECT_FALSE(ParseHive("REGEDIT4\n[HKEY_CURRENT_USER\\A\\B]\n[HKEY_CURRENT_USER\\A\\\\C]\n", &bad,
                         &error));
  EXPECT_EQ(error.line, 3);
}

TEST_F(HiveFileTest, DamagedTextIsRejectedAtItsLine) {
  const struct {
    const char* text;
    int line;
  } cases[] = {
      {"REGEDIT5\n", 1},
      {"\n\nREGEDIT4\n", 1},
      {"REGEDIT4\n\"a\"=\"b\"\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USERX]\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A\\\\B]\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\ngarbage\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"unterminated\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"tab\\t\"\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\" = \"b\"\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"b\"c\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=dword:\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=hex:1,02\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,,02\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=hex:01,\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=hex(zz):01\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=multi_sz:\"x\",\"\"\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=multi_sz:\"x\"\"y\"\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=string:x\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\n\"a\"=hex:01,\\\n", 4},
  };
  for (const auto& c : cases) {
    Hive hive("HKEY_CURRENT_USER");
    HiveParseError error;
    EXPECT_FALSE(ParseHive(c.text, &hive, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST_F(HiveFileTest, NamesCompareBlindToAsciiCaseAndKeepTheirSpelling) {
  Hive hive("HKEY_CURRENT_USER");
  bool created = false;
  hive.Create({u"Software", u"MixedCase"}, &created);
  EXPECT_TRUE(created);
  HiveKey& key = hive.Create({u"SOFTWARE", u"mixedcase"}, &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(key.name(), u"MixedCase");
  Set(key, u"Value", REG_DWORD, {1, 0, 0, 0});
  Set(key, u"VALUE", REG_DWORD, {2, 0, 0, 0});
  ASSERT_EQ(key.values().size(), 1u);
  EXPECT_EQ(key.values()[0].name, u"Value");
  EXPECT_EQ(key.values()[0].data[0], 2);
  // Only A-Z fold: other letters are distinct names.
  EXPECT_FALSE(NamesEqual(u"É", u"é"));
  EXPECT_FALSE(NamesEqual(u"{", u"["));
  EXPECT_TRUE(hive.root().FindSubkey(u"software")->DeleteSubkey(u"MIXEDCASE"));
  EXPECT_EQ(hive.Find({u"Software", u"MixedCase"}), nullptr);
}

TEST_F(HiveFileTest, SubkeysStaySortedSoRecreatingAKeyKeepsItsPlace) {
  Hive hive("HKEY_LOCAL_MACHINE");
  for (const char16_t* name : {u"b", u"C", u"a", u"{26C9}", u"B2"}) hive.Create({name});
  const auto names = [&hive] {
    std::u16string joined;
    for (const HiveKey& key : hive.root().subkeys()) joined += key.name() + u" ";
    return joined;
  };
  EXPECT_EQ(names(), u"a b B2 C {26C9} ");
  const std::string before = SerializeHive(hive);
  ASSERT_TRUE(hive.root().DeleteSubkey(u"b"));
  hive.Create({u"b"});
  EXPECT_EQ(SerializeHive(hive), before);
}

TEST_F(HiveFileTest, OnlyWritableNamesAreValid) {
  EXPECT_TRUE(IsValidKeyName(u"/home/ann"));
  EXPECT_TRUE(IsValidKeyName(u"a\xDCFF"));
  EXPECT_FALSE(IsValidKeyName(u""));
  EXPECT_FALSE(IsValidKeyName(u"a\\b"));
  EXPECT_FALSE(IsValidKeyName(u"a\nb"));
  EXPECT_FALSE(IsValidValueName(u"\xD800"));
  EXPECT_TRUE(IsValidValueName(u""));
}

}  // namespace
}  // namespace trovix
