// RTF text: documents written here are read in process; truncated, deeply
// nested, oversized and mislabelled ones through the real helper.
#include "filters/filter_host/rtf_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "filters/filter_host/testing/extract_file.h"
#include "filters/testing/filter_run.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

using testing::FilterRun;
using trovix::testing::WriteFile;

using testing::Extracted;

class RtfTextTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  Extracted Extract(const std::string& rtf) {
    return testing::ExtractFile(ExtractRtf, Write("doc.rtf", rtf), std::size_t{1} << 24);
  }
  // The body of a document in code page 1252 with one font.
  std::string Text(const std::string& body) {
    const Extracted r =
        Extract("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}" + body + "}");
    EXPECT_EQ(r.hr, S_OK);
    return r.text;
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(RtfTextTest, BytesAreDecodedInTheCodePageOfTheDocumentOrFont) {
  EXPECT_EQ(Text("caf\\'e9 \\'80uro"),
            "caf\xC3\xA9 \xE2\x82\xAC"
            "uro");
  // Shift-JIS pairs, one with a second byte that is '{' (so written as
  // \'7b), one with a second byte written as the letter itself.
  EXPECT_EQ(Extract("{\\rtf1\\ansi\\ansicpg932 \\'93\\'fa\\'96\\'7b \\'83J}").text,
            "\xE6\x97\xA5\xE6\x9C\xAC \xE3\x82\xAB");
  // A Cyrillic font among Latin ones; its code page ends with the group.
  const Extracted cyrillic = Extract(
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
      "{\\f1\\froman\\fcharset204 Times New Roman Cyr;}}"
      "caf\\'e9 {\\f1 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2} \\'e9t\\'e9 \\f1\\'e4\\'e0\\plain  \\'e9}");
  EXPECT_EQ(cyrillic.text,
            "caf\xC3\xA9 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xC3\xA9t\xC3\xA9 "
            "\xD0\xB4\xD0\xB0 \xC3\xA9");
  EXPECT_EQ(cyrillic.text.find("Arial"), std::string::npos);
  // A byte the code page does not define still gives a character.
  EXPECT_EQ(Text("a\\'81b"),
            "a\xC2\x81"
            "b");
}

TEST_F(RtfTextTest, UnicodeEscapesDropTheirFallbackCharacters) {
  EXPECT_EQ(Text("\\u8364?uro"),
            "\xE2\x82\xAC"
            "uro");
  EXPECT_EQ(Text("{\\uc2\\u8364\\'80\\'80uro} \\u8364?x"),
            "\xE2\x82\xAC"
            "uro \xE2\x82\xAC"
            "x");
  EXPECT_EQ(Text("\\uc0\\u20013\\u25991 ok"), "\xE4\xB8\xAD\xE6\x96\x87ok");
  // Negative values count from 65536; two of them make a surrogate pair.
  EXPECT_EQ(Text("\\u-223?A \\u-10179?\\u-8704?!"),
            "\xEF\xBC\xA1"
            "A \xF0\x9F\x98\x80!");
  // Fallback text never reaches past its group.
  EXPECT_EQ(Text("{\\uc3\\u233?}kept"), "\xC3\xA9kept");
}

TEST_F(RtfTextTest, OnlyDocumentTextIsTakenAndTheTitleApart) {
  const Extracted r = Extract(
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fnil Fontname;}}"
      "{\\colortbl;\\red255\\green0\\blue0;}{\\stylesheet{\\s1 Stylename;}}"
      "{\\info{\\title Le r\\'e9sum\\'e9}{\\author Authorname}}"
      "{\\*\\generator Writername;}{\\*\\unknowndest hiddenword {\\b nestedhidden}}"
      "Visible {\\pict\\pngblip 89504e47deadbeef} text "
      "{\\field{\\*\\fldinst HYPERLINK \"http://example.com/urlword\"}{\\fldrslt linktext}} "
      "a{\\b b{\\i c}d}e \\bin11 {secret}\\} after}");
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.title, "Le r\xC3\xA9sum\xC3\xA9");
  ASSERT_FALSE(r.chunks.empty());
  EXPECT_EQ(r.chunks.front().kind, ChunkKind::kTitle);
  EXPECT_EQ(r.text, "Visible  text linktext abcde after");
  // Text after the document's closing brace is not part of it.
  EXPECT_EQ(Text("inside} outside"), "inside");
}

TEST_F(RtfTextTest, ControlWordsAndSymbolsSeparateOrJoinWords) {
  EXPECT_EQ(Text("one\\par two\\line three\\tab four\\cell five\\row six\\sect seven\\page "
                 "eight\\\neight"),
            "one\ntwo\nthree\tfour\tfive\nsix\nseven\neight\neight");
  EXPECT_EQ(Text("hy\\-phen non\\_breaking no\\~break \\{\\}\\\\ \\b bold\\b0  wo\r\nrd"),
            "hyphen non\xE2\x80\x91"
            "breaking no\xC2\xA0"
            "break {}\\ bold word");
  EXPECT_EQ(Text("\\ldblquote q\\rdblquote\\emdash x"), "\xE2\x80\x9Cq\xE2\x80\x9D\xE2\x80\x94x");
  // A hyphen after a control word is text, not the sign of a parameter.
  EXPECT_EQ(Text("\\b-x"), "-x");
}

TEST_F(RtfTextTest, LongDocumentsComeInChunksEndingAtWordBreaks) {
  std::string body;
  std::string expected;
  for (int i = 0; i < 40000; ++i) {
    body += "word" + std::to_string(i) + (i % 10 == 9 ? "\\par " : " ");
    expected += "word" + std::to_string(i) + (i % 10 == 9 ? "\n" : " ");
  }
  const Extracted r = Extract("{\\rtf1\\ansi " + body + "}");
  ASSERT_GT(r.chunks.size(), 3u);
  std::u16string joined;
  for (const CollectingSink::Chunk& chunk : r.chunks) {
    EXPECT_LE(chunk.text.size(), 70000u);
    const char16_t last = chunk.text.back();
    EXPECT_TRUE(last == u' ' || last == u'\n');
    joined += chunk.text;
  }
  EXPECT_EQ(Utf16ToUtf8(joined), expected);
}

TEST_F(RtfTextTest, FilesThatAreNotRtfAreRefused) {
  EXPECT_EQ(Extract("plain text").hr, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_EQ(Extract("").hr, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_EQ(Extract(" {\\rtf1 late}").hr, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
}

// Through the real helper: whatever these do, the test survives them.
class RtfHostileTest : public RtfTextTest {
 protected:
  FilterRun Filter(const std::string& name, const std::string& bytes) {
    return testing::RunHostileFilter(Write(name, bytes));
  }
};

TEST_F(RtfHostileTest, DamagedDocumentsGiveWhatTheyHaveAndEnd) {
  // Cut short: the text so far, a clean end.
  const FilterRun cut = Filter("cut.rtf", "{\\rtf1\\ansi {\\info{\\title Ti");
  EXPECT_EQ(cut.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(cut.Title(), "Ti");
  EXPECT_EQ(Filter("cut2.rtf", "{\\rtf1\\ansi first {\\b second\\'e").Body(), "first second");
  // Unterminated escapes at the end of the file.
  for (const char* end : {"\\u", "\\u-", "\\u12", "\\uc9\\u233", "\\", "\\'"}) {
    const FilterRun r = Filter("u.rtf", std::string("{\\rtf1 before ") + end);
    EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS) << end;
    EXPECT_EQ(r.Body().substr(0, 6), "before") << end;
  }
  // \bin with a count far beyond the file: everything after it is data.
  const FilterRun bin = Filter("bin.rtf", "{\\rtf1 kept \\bin4294967296 lost lost}");
  EXPECT_EQ(bin.Body(), "kept ");
  EXPECT_EQ(bin.end, FILTER_E_END_OF_CHUNKS);
}

TEST_F(RtfHostileTest, DeepNestingIsSkippedWithoutCost) {
  std::string deep = "{\\rtf1 shallow ";
  for (int i = 0; i < 100000; ++i) deep += "{";
  deep += "deepword \\bin3 }}}";
  for (int i = 0; i < 100000; ++i) deep += "}";
  // The document group is still open: text after the deep groups counts.
  deep += "tail}";
  const FilterRun r = Filter("deep.rtf", deep);
  EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(r.Body(), "shallow tail");

  // Unclosed, and never closed.
  const FilterRun open = Filter("open.rtf", "{\\rtf1 start " + std::string(100000, '{') + "x");
  EXPECT_EQ(open.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(open.Body().substr(0, 5), "start");
}

TEST_F(RtfHostileTest, BinaryFilesNamedRtfAreRefused) {
  const FilterRun r = Filter("image.rtf", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR{\\rtf1", 22));
  EXPECT_EQ(r.end, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_TRUE(r.chunks.empty());
}

}  // namespace
}  // namespace docfilter
