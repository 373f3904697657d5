// OpenDocument and Office Open XML files written here: their titles, text
// and word boundaries in process; then hostile files (damaged archives,
// bombs, hostile XML, encryption, wrong formats) through the real helper.
#include "filters/filter_host/office_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filters/filter_host/testing/extract_file.h"
#include "filters/filter_host/zip_fixture.h"
#include "filters/testing/filter_run.h"
#include "platform/testing/private_tree.h"

namespace docfilter {
namespace {

using testing::Extracted;
using testing::ExtractFile;
using testing::FilterRun;
using testing::RunFilter;
using testing::SetDeclaredSize;
using testing::SetEntryFlags;
using testing::WriteZip;
using testing::ZipEntry;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

const std::string kOdfRoot =
    "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
    "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
    "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
    "xmlns:number=\"urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">";

std::string OdfContent(const std::string& body, const std::string& prolog = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + prolog + kOdfRoot +
         "<office:automatic-styles><number:date-style><number:text>stylejunk</number:text>"
         "</number:date-style></office:automatic-styles><office:body>" +
         body + "</office:body></office:document-content>";
}

std::string Meta(const std::string& title) {
  return "<office:document-meta xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
         " xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><office:meta><dc:title>" +
         title + "</dc:title></office:meta></office:document-meta>";
}

std::vector<ZipEntry> Odf(const std::string& content, const std::string& title = "") {
  std::vector<ZipEntry> entries = {{"mimetype", "application/vnd.oasis.opendocument.text", true},
                                   {"content.xml", content}};
  if (!title.empty()) entries.push_back({"meta.xml", Meta(title)});
  return entries;
}

constexpr const char* kWordNs =
    "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
    "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"";

std::string WordPart(const std::string& root, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><w:" + root + " " + kWordNs +
         ">" + body + "</w:" + root + ">";
}

std::string Core(const std::string& title) {
  return "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/"
         "metadata/core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" +
         title + "</dc:title><dc:creator>creatorname</dc:creator></cp:coreProperties>";
}

bool Has(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

class OfficeTextTest : public ::testing::Test {
 protected:
  std::string Zip(const std::string& name, const std::vector<ZipEntry>& entries) {
    const std::string path = tree_.home() + "/" + name;
    WriteZip(path, entries);
    return path;
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(OfficeTextTest, OpenDocumentTextGivesTitleAndWordsAsWritten) {
  const std::string body =
      "<office:text><text:sequence-decls/>"
      "<text:h text:outline-level=\"1\">Gr\xC3\xBC\xC3\x9F"
      "e aus <text:span>W</text:span>ord"
      "</text:h>"
      "<text:p>one<text:s text:c=\"3\"/>two<text:tab/>three<text:line-break/>four"
      "<text:s/>five</text:p><text:p>six</text:p>"
      "<text:p>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E <text:a xlink:href=\"x\" "
      "xmlns:xlink=\"http://www.w3.org/1999/xlink\">li</text:a>nk"
      "<text:bookmark text:name=\"b\"/>ed</text:p>"
      "<table:table><table:table-row><table:table-cell><text:p>alpha</text:p></table:table-cell>"
      "<table:table-cell><text:p>beta</text:p></table:table-cell></table:table-row></table:table>"
      "<text:p>note<office:annotation><dc:creator>annotator</dc:creator><dc:date>2024-01-01"
      "</dc:date><text:p>remark</text:p></office:annotation></text:p>"
      "<text:tracked-changes><text:changed-region><text:deletion><text:p>deletedword</text:p>"
      "</text:deletion></text:changed-region></text:tracked-changes>"
      "</office:text>";
  const Extracted e =
      ExtractFile(ExtractOpenDocument, Zip("doc.odt", Odf(OdfContent(body), " Mein  Titel ")));
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.title, "Mein Titel");
  EXPECT_NE(e.text.find("Gr\xC3\xBC\xC3\x9F"
                        "e aus Word\n"),
            std::string::npos)
      << e.text;
  EXPECT_NE(e.text.find("one   two\tthree\nfour five\nsix"), std::string::npos) << e.text;
  const std::vector<std::string> words = e.Words();
  for (const char* word :
       {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "linked", "alpha", "beta", "note", "remark"}) {
    EXPECT_TRUE(Has(words, word)) << word << " in " << e.text;
  }
  for (const char* absent : {"stylejunk", "annotator", "2024-01-01", "deletedword", "Titel"}) {
    EXPECT_EQ(e.text.find(absent), std::string::npos) << absent << " in " << e.text;
  }
}

TEST_F(OfficeTextTest, WordDocumentRunsHeadersFootersAndFootnotes) {
  const std::string document = WordPart(
      "document",
      "<w:body><w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>"
      "<w:r><w:t>W</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>ord</w:t></w:r>"
      "<w:r><w:t xml:space=\"preserve\"> Gr\xC3\xBC\xC3\x9F"
      "e </w:t></w:r><w:r><w:tab/>"
      "<w:t>tabbed</w:t><w:br/><w:t>broken</w:t></w:r></w:p>"
      "<w:p><w:r><w:t>next</w:t></w:r><w:del><w:r><w:delText>deletedword</w:delText></w:r></w:del>"
      "<w:r><w:instrText>PAGEREF fieldcode</w:instrText></w:r></w:p>"
      "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>cellone</w:t></w:r></w:p></w:tc><w:tc><w:p><w:r>"
      "<w:t>celltwo</w:t></w:r></w:p></w:tc></w:tr></w:tbl>"
      "<w:p><w:r><mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing><w:txbxContent>"
      "<w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></w:drawing></mc:Choice>"
      "<mc:Fallback><w:pict><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p>"
      "</w:txbxContent></w:pict></mc:Fallback></mc:AlternateContent></w:r></w:p></w:body>");
  const Extracted e = ExtractFile(
      ExtractOfficeOpenXml,
      Zip("doc.docx",
          {{"[Content_Types].xml", "<Types/>"},
           {"word/header2.xml", WordPart("hdr", "<w:p><w:r><w:t>headertwo</w:t></w:r></w:p>")},
           {"word/header1.xml", WordPart("hdr", "<w:p><w:r><w:t>headerone</w:t></w:r></w:p>")},
           {"word/document.xml", document},
           {"word/footer1.xml", WordPart("ftr", "<w:p><w:r><w:t>footerword</w:t></w:r></w:p>")},
           {"word/footnotes.xml",
            WordPart("footnotes",
                     "<w:footnote w:id=\"1\"><w:p><w:r><w:t>footnoteword</w:t>"
                     "</w:r></w:p></w:footnote>")},
           {"docProps/core.xml", Core("Der \xE6\x97\xA5 Titel")}}));
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.title, "Der \xE6\x97\xA5 Titel");
  EXPECT_EQ(e.Words(),
            (std::vector<std::string>{"Word",
                                      "Gr\xC3\xBC\xC3\x9F"
                                      "e",
                                      "tabbed", "broken", "next", "cellone", "celltwo", "boxed",
                                      "footnoteword", "headerone", "headertwo", "footerword"}));
  EXPECT_NE(e.text.find("Word Gr\xC3\xBC\xC3\x9F"
                        "e\ttabbed\nbroken\nnext"),
            std::string::npos)
      << e.text;
}

TEST_F(OfficeTextTest, SpreadsheetStringsNumbersAndSheetOrder) {
  const auto sheet = [](const std::string& rows) {
    return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
           "<sheetData>" +
           rows + "</sheetData></worksheet>";
  };
  const std::string strings =
      "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<si><t>shared</t></si><si><r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r></si>"
      "<si><t>\xE6\x97\xA5\xE6\x9C\xAC</t><rPh sb=\"0\" eb=\"2\"><t>\xE3\x81\xAB\xE3\x81\xBB"
      "</t></rPh></si></sst>";
  const Extracted e = ExtractFile(
      ExtractOfficeOpenXml,
      Zip("book.xlsx",
          {{"xl/workbook.xml", "<workbook/>"},
           {"xl/worksheets/sheet10.xml", sheet("<row><c><v>10.5</v></c></row>")},
           {"xl/worksheets/sheet2.xml",
            sheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"inlineStr\"><is>"
                  "<t>inline</t></is></c><c r=\"C1\"><f>SUM(A1)</f><v>7</v></c></row>"
                  "<row r=\"2\"><c t=\"str\"><f>CONCAT()</f><v>formulatext</v></c>"
                  "<c t=\"b\"><v>1</v></c><c t=\"e\"><v>#DIV/0!</v></c></row>")},
           {"xl/worksheets/sheet1.xml", sheet("<row><c><v>1</v></c><c><v>2</v></c></row>")},
           {"xl/sharedStrings.xml", strings}}));
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.Words(), (std::vector<std::string>{"shared", "rich", "\xE6\x97\xA5\xE6\x9C\xAC", "1",
                                                 "2", "inline", "7", "formulatext", "10.5"}));
}

TEST_F(OfficeTextTest, PresentationSlidesInNumberOrderThenNotes) {
  const auto slide = [](const std::string& paragraphs) {
    return "<p:sld xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
           "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><p:cSld><p:spTree>"
           "<p:sp><p:txBody>" +
           paragraphs + "</p:txBody></p:sp></p:spTree></p:cSld></p:sld>";
  };
  const Extracted e = ExtractFile(
      ExtractOfficeOpenXml,
      Zip("deck.pptx",
          {{"ppt/presentation.xml", "<presentation/>"},
           {"ppt/slides/slide10.xml", slide("<a:p><a:r><a:t>tenth</a:t></a:r></a:p>")},
           {"ppt/notesSlides/notesSlide1.xml", slide("<a:p><a:r><a:t>spoken</a:t></a:r></a:p>")},
           {"ppt/slides/slide2.xml",
            slide("<a:p><a:r><a:t>Sec</a:t></a:r><a:r><a:t>ond</a:t></a:r><a:br/>"
                  "<a:r><a:t>line</a:t></a:r></a:p><a:p><a:r><a:t>para</a:t></a:r></a:p>")},
           {"ppt/slides/slide1.xml", slide("<a:p><a:r><a:t>first</a:t></a:r></a:p>")},
           {"docProps/core.xml", Core("Deck")}}));
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.title, "Deck");
  EXPECT_EQ(e.Words(),
            (std::vector<std::string>{"first", "Second", "line", "para", "tenth", "spoken"}));
}

TEST_F(OfficeTextTest, LongTextComesInChunksCutBetweenParagraphsAndStopsAtTheCap) {
  std::string paragraphs;
  for (int i = 0; i < 20000; ++i) paragraphs += "<text:p>word" + std::to_string(i) + "</text:p>";
  const std::string path =
      Zip("long.odt", Odf(OdfContent("<office:text>" + paragraphs + "</office:text>")));
  const Extracted all = ExtractFile(ExtractOpenDocument, path);
  ASSERT_EQ(all.hr, S_OK);
  EXPECT_GT(all.text_chunks, 1u);
  const std::vector<std::string> words = all.Words();
  ASSERT_EQ(words.size(), 20000u);  // no word split across chunks
  EXPECT_EQ(words[12345], "word12345");

  const Extracted capped = ExtractFile(ExtractOpenDocument, path, 100);
  ASSERT_EQ(capped.hr, S_OK);
  EXPECT_EQ(capped.text_chunks, 1u);
  EXPECT_LE(capped.text.size(), 100u);
  EXPECT_EQ(capped.text.substr(0, 12), "word0\nword1\n");
}

// --- Hostile files, through the real helper ---

class HostileOfficeTest : public OfficeTextTest {
 protected:
  FilterRun Filter(const std::string& path) { return testing::RunHostileFilter(path); }
};

TEST_F(HostileOfficeTest, DamagedArchivesAndWrongFormatsFail) {
  const std::string odt = ReadFile(
      Zip("whole.odt", Odf(OdfContent("<office:text><text:p>wholeword</text:p></office:text>"))));
  EXPECT_EQ(Filter(Write("cut.odt", odt.substr(0, odt.size() / 2))).end, kBadFormat);
  EXPECT_EQ(Filter(Write("tail.odt", odt.substr(0, odt.size() - 5))).end, kBadFormat);
  std::string damaged = odt;  // compressed data of content.xml overwritten
  const std::size_t data = damaged.find("content.xml") + 11;
  damaged.replace(data + 40, 40, 40, '\x55');
  EXPECT_EQ(Filter(Write("damaged.odt", damaged)).end, kBadFormat);
  EXPECT_EQ(Filter(Write("text.docx", "This is plain text, not a document at all.")).end,
            kBadFormat);
  EXPECT_EQ(Filter(Write("empty.docx", "")).end, kBadFormat);
  EXPECT_EQ(Filter(Zip("other.docx", {{"readme.txt", "nothing office here"}})).end, kBadFormat);
  EXPECT_EQ(Filter(Zip("nocontent.odt", {{"mimetype", "x", true}})).end, kBadFormat);
  // Password-protected Office Open XML is an OLE compound file.
  const FilterRun ole =
      Filter(Write("locked.xlsx", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) +
                                      std::string(4096, '\0') + "EncryptedPackage"));
  EXPECT_EQ(ole.end, FILTER_E_PASSWORD);
  EXPECT_TRUE(ole.chunks.empty());
}

TEST_F(HostileOfficeTest, EncryptedDocumentsNeedAPassword) {
  // The manifest says content.xml is encrypted.
  std::vector<ZipEntry> manifest = Odf("\x9c\x31\xff\x02 ciphertext");
  manifest.push_back(
      {"META-INF/manifest.xml",
       "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">"
       "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"x\"/>"
       "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\">"
       "<manifest:encryption-data manifest:checksum=\"abc\"/></manifest:file-entry>"
       "</manifest:manifest>"});
  EXPECT_EQ(Filter(Zip("manifest.odt", manifest)).end, FILTER_E_PASSWORD);
  // Without a manifest, content that is not XML.
  EXPECT_EQ(Filter(Zip("binary.odt", Odf(std::string("\x01\x9c\0\xfe", 4) + "data"))).end,
            FILTER_E_PASSWORD);
  // An entry encrypted at the zip level.
  const std::string path = Zip(
      "zipcrypto.docx", {{"word/document.xml", WordPart("document",
                                                        "<w:body><w:p><w:r><w:t>lockedword</w:t>"
                                                        "</w:r></w:p></w:body>")}});
  std::string bytes = ReadFile(path);
  SetEntryFlags(&bytes, "word/document.xml", 1);
  const FilterRun zipcrypto = Filter(Write("zipcrypto.docx", bytes));
  EXPECT_EQ(zipcrypto.end, FILTER_E_PASSWORD);
  EXPECT_EQ(zipcrypto.Body().find("lockedword"), std::string::npos);
}

TEST_F(HostileOfficeTest, CompressionBombsStopQuickly) {
  // content.xml inflates to 300 MB of white space after a first paragraph.
  std::string content = OdfContent("<office:text><text:p>beforebomb</text:p>");
  content.resize(content.size() + (std::size_t{300} << 20), ' ');
  const std::string path = Zip("bomb.odt", Odf(content));
  content.clear();
  content.shrink_to_fit();
  const std::string bomb = ReadFile(path);
  ASSERT_LT(bomb.size(), std::size_t{2} << 20);
  // Refused for its ratio before anything is inflated.
  EXPECT_EQ(Filter(path).end, kBadFormat);
  // With headers that claim a harmless size, counting the inflated bytes
  // stops it.
  std::string lying = bomb;
  SetDeclaredSize(&lying, "content.xml", 5000);
  const FilterRun run = Filter(Write("lying.odt", lying));
  EXPECT_EQ(run.end, kBadFormat);
  EXPECT_EQ(run.Body().find("beforebomb"), std::string::npos);
}

TEST_F(HostileOfficeTest, HostileXmlGivesPartialTextAtMost) {
  const std::string secret = Write("secret.txt", "topsecretword");
  // Deep nesting: libxml2's depth limit ends the part; the text well
  // before it stays (the reader parses a little ahead of what it gives).
  std::string deep = "<office:text><text:p>shallowword</text:p>";
  for (int i = 0; i < 1000; ++i) deep += "<text:p>filler</text:p>";
  for (int i = 0; i < 50000; ++i) deep += "<text:span>";  // below the ratio check
  deep += "deepword";
  const FilterRun d = Filter(Zip("deep.odt", Odf(OdfContent(deep))));
  EXPECT_NE(d.Body().find("shallowword"), std::string::npos) << d.Body();
  EXPECT_EQ(d.Body().find("deepword"), std::string::npos);
  EXPECT_EQ(d.end, kBadFormat);

  // An entity-expansion bomb.
  std::string bomb = "<!DOCTYPE office:document-content [<!ENTITY lol \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    const std::string prev = i == 1 ? "lol" : "lol" + std::to_string(i - 1);
    bomb += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) bomb += "&" + prev + ";";
    bomb += "\">";
  }
  bomb += "]>";
  const FilterRun b = Filter(Zip(
      "lol.odt", Odf(OdfContent("<office:text><text:p>a &lol9; b</text:p></office:text>", bomb))));
  EXPECT_LT(b.Body().size(), 1000u);
  EXPECT_EQ(b.Body().find("lollol"), std::string::npos);

  // External entities are never read, in content or in a docx part.
  const std::string external = "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]>";
  const FilterRun x =
      Filter(Zip("external.odt",
                 Odf(OdfContent("<office:text><text:p>a &x; b</text:p></office:text>", external))));
  EXPECT_EQ(x.Body().find("topsecretword"), std::string::npos) << x.Body();
  const FilterRun w = Filter(
      Zip("external.docx",
          {{"word/document.xml",
            "<?xml version=\"1.0\"?>" + external + "<w:document " + kWordNs +
                "><w:body><w:p><w:r><w:t>a &x; b</w:t></w:r></w:p></w:body></w:document>"}}));
  EXPECT_EQ(w.Body().find("topsecretword"), std::string::npos) << w.Body();
  EXPECT_NE(w.Body().find('a'), std::string::npos) << w.Body();
}

}  // namespace
}  // namespace docfilter
