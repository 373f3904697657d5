// EPUB books written here: title and reading order from the package
// document, href resolution, the fallback without one; then hostile books
// through the real helper.
#include "filters/filter_host/epub_text.h"

#include <gtest/gtest.h>

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
using testing::SetEntryFlags;
using testing::WriteZip;
using testing::ZipEntry;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

std::string Container(const std::string& package_path) {
  return "<?xml version=\"1.0\"?><container version=\"1.0\" "
         "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
         "<rootfile full-path=\"" +
         package_path + "\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>";
}

// `items` are (id, href) pairs; `spine` the ids in reading order.
std::string Package(const std::string& title,
                    const std::vector<std::pair<std::string, std::string>>& items,
                    const std::vector<std::string>& spine) {
  std::string opf =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><package xmlns=\"http://www.idpf.org/2007/opf\" "
      "version=\"3.0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" +
      title + "</dc:title><dc:creator>authorname</dc:creator></metadata><manifest>";
  for (const auto& [id, href] : items) {
    opf += "<item id=\"" + id + "\" href=\"" + href + "\" media-type=\"application/xhtml+xml\"/>";
  }
  opf += "</manifest><spine>";
  for (const std::string& id : spine) opf += "<itemref idref=\"" + id + "\"/>";
  return opf + "</spine></package>";
}

std::string Page(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><html xmlns=\"http://www.w3.org/1999/xhtml\">"
         "<head><title>pagetitle</title></head><body>" +
         body + "</body></html>";
}

ZipEntry Mimetype() { return {"mimetype", "application/epub+zip", true}; }

class EpubTextTest : public ::testing::Test {
 protected:
  std::string Zip(const std::string& name, const std::vector<ZipEntry>& entries) {
    const std::string path = tree_.home() + "/" + name;
    WriteZip(path, entries);
    return path;
  }
  Extracted Extract(const std::vector<ZipEntry>& entries) {
    return ExtractFile(ExtractEpub, Zip("book.epub", entries));
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(EpubTextTest, SpineOrderTitleAndResolvedHrefs) {
  const Extracted e = Extract({
      Mimetype(),
      {"META-INF/container.xml", Container("OEBPS/content.opf")},
      {"OEBPS/Text/chapter two.xhtml", Page("<p>Zwei Gr\xC3\xBC\xC3\x9F"
                                            "e</p>")},
      {"OEBPS/Text/one.xhtml", Page("<p>Eins <b>W</b>ord</p>")},
      {"OEBPS/three.xhtml", Page("<p>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E drei</p>")},
      {"OEBPS/unlisted.xhtml", Page("<p>unlistedword</p>")},
      {"OEBPS/content.opf", Package("Das  Buch",
                                    {{"c2", "Text/chapter%20two.xhtml#start"},
                                     {"c1", "Text/one.xhtml"},
                                     {"c3", "./Text/../three.xhtml"},
                                     {"gone", "missing.xhtml"}},
                                    {"c1", "gone", "c2", "c1", "c3", "nosuchid"})},
  });
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.title, "Das Buch");
  EXPECT_EQ(e.text_chunks, 3u);  // one per document, c1 once
  EXPECT_EQ(e.Words(), (std::vector<std::string>{"Eins", "Word", "Zwei",
                                                 "Gr\xC3\xBC\xC3\x9F"
                                                 "e",
                                                 "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "drei"}));
}

TEST_F(EpubTextTest, HrefsNeverLeaveTheBook) {
  const Extracted e = Extract({
      Mimetype(),
      {"META-INF/container.xml", Container("OEBPS/content.opf")},
      {"outside.xhtml", Page("<p>outsideword</p>")},
      {"OEBPS/in.xhtml", Page("<p>insideword</p>")},
      {"OEBPS/content.opf", Package("T",
                                    {{"up", "../../outside.xhtml"},
                                     {"encoded", "%2E%2E/%2e%2e/outside.xhtml"},
                                     {"remote", "http://example.com/outside.xhtml"},
                                     {"in", "in.xhtml"}},
                                    {"up", "encoded", "remote", "in"})},
  });
  ASSERT_EQ(e.hr, S_OK);
  EXPECT_EQ(e.Words(), (std::vector<std::string>{"insideword"}));
}

TEST_F(EpubTextTest, WithoutAUsablePackageEveryPageInArchiveOrder) {
  const std::vector<ZipEntry> pages = {
      Mimetype(),
      {"b.xhtml", Page("<p>first</p>")},
      {"style.css", "p { cssword: 1 }"},
      {"a/c.HTML", "<html><body><p>second</p></body></html>"},
      {"a.htm", "<p>third</p>"},
  };
  const Extracted none = Extract(pages);
  ASSERT_EQ(none.hr, S_OK);
  EXPECT_EQ(none.title, "");
  EXPECT_EQ(none.Words(), (std::vector<std::string>{"first", "second", "third"}));

  std::vector<ZipEntry> broken = pages;
  broken.push_back({"META-INF/container.xml", Container("missing.opf")});
  EXPECT_EQ(Extract(broken).Words(), none.Words());
  broken.back() = {"META-INF/container.xml", "<container><rootfiles><rootfile full-pa"};
  EXPECT_EQ(Extract(broken).Words(), none.Words());

  EXPECT_EQ(Extract({Mimetype(), {"image.png", "\x89PNG"}}).hr, kBadFormat);
}

// --- Hostile books, through the real helper ---

class HostileEpubTest : public EpubTextTest {
 protected:
  FilterRun Filter(const std::string& path) { return testing::RunHostileFilter(path); }
  std::vector<ZipEntry> Book(const std::string& chapter) {
    return {Mimetype(),
            {"META-INF/container.xml", Container("content.opf")},
            {"content.opf", Package("T", {{"c", "c.xhtml"}, {"d", "d.xhtml"}}, {"c", "d"})},
            {"c.xhtml", chapter},
            {"d.xhtml", Page("<p>lastword</p>")}};
  }
};

TEST_F(HostileEpubTest, DamagedBooksAndHostileDocuments) {
  const std::string whole = ReadFile(Zip("whole.epub", Book(Page("<p>firstword</p>"))));
  const std::string cut = tree_.home() + "/cut.epub";
  WriteFile(cut, whole.substr(0, whole.size() * 2 / 3));
  EXPECT_EQ(Filter(cut).end, kBadFormat);

  // A binary spine item is passed over; the rest of the book is read.
  const FilterRun binary =
      Filter(Zip("binary.epub", Book(std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16))));
  EXPECT_EQ(binary.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(binary.Body(), "lastword");

  // A content document that names a file outside the book.
  const std::string secret = tree_.home() + "/secret.txt";
  WriteFile(secret, "topsecretword");
  const FilterRun external = Filter(Zip(
      "external.epub", Book("<?xml version=\"1.0\"?><!DOCTYPE html [<!ENTITY x SYSTEM \"file://" +
                            secret + "\">]><html><body><p>a &x; b</p></body></html>")));
  EXPECT_EQ(external.Body().find("topsecretword"), std::string::npos) << external.Body();
  EXPECT_NE(external.Body().find("lastword"), std::string::npos) << external.Body();
}

TEST_F(HostileEpubTest, EncryptedContentNeedsAPassword) {
  std::vector<ZipEntry> listed = Book(Page("<p>firstword</p>"));
  listed.push_back(
      {"META-INF/encryption.xml",
       "<encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
       "xmlns:enc=\"http://www.w3.org/2001/04/xmlenc#\"><enc:EncryptedData><enc:CipherData>"
       "<enc:CipherReference URI=\"d.xhtml\"/></enc:CipherData></enc:EncryptedData>"
       "</encryption>"});
  const FilterRun run = Filter(Zip("listed.epub", listed));
  EXPECT_EQ(run.end, FILTER_E_PASSWORD);
  EXPECT_TRUE(run.chunks.empty());

  const std::string path = Zip("zipcrypto.epub", Book(Page("<p>firstword</p>")));
  std::string bytes = ReadFile(path);
  SetEntryFlags(&bytes, "d.xhtml", 1);
  WriteFile(path, bytes);
  const FilterRun zipcrypto = Filter(path);
  EXPECT_EQ(zipcrypto.end, FILTER_E_PASSWORD);
  EXPECT_EQ(zipcrypto.Body(), "firstword");  // what came before stays
}

}  // namespace
}  // namespace docfilter
