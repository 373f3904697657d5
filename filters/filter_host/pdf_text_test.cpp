// PDF text through poppler. The documents are laid out here byte by byte,
// cross-reference offsets included; well-formed ones are read in process,
// damaged, looping, encrypted and mislabelled ones through the real helper.
#include "filters/filter_host/pdf_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filters/testing/filter_run.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

using testing::FilterRun;
using testing::RunFilter;
using trovix::testing::WriteFile;

// Object bodies numbered from 1, each at the offset its cross-reference
// entry gives.
std::string LayOut(const std::vector<std::string>& objects, const std::string& trailer_extra) {
  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  return pdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R " +
         trailer_extra + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
}

// A page's content: each operand (PDF string syntax) shown by Tj on a line
// of its own, in Helvetica with the WinAnsi encoding.
std::string Lines(const std::vector<std::string>& operands) {
  std::string ops = "BT /F1 12 Tf 14 TL 72 720 Td";
  for (const std::string& operand : operands) ops += " " + operand + " Tj T*";
  return ops + " ET";
}

// Objects 1 catalog, 2 page tree, 3 font, 4 info, then per page its
// dictionary (5, 7, ...) and its content stream (6, 8, ...).
std::vector<std::string> Objects(const std::string& info, const std::vector<std::string>& pages) {
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(5 + 2 * i) + " 0 R ";
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
      "<< " + info + " >>"};
  for (std::size_t i = 0; i < pages.size(); ++i) {
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R "
        ">> >> /Contents " +
        std::to_string(6 + 2 * i) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(pages[i].size()) + " >>\nstream\n" + pages[i] +
                      "\nendstream");
  }
  return objects;
}

std::string Pdf(const std::string& info, const std::vector<std::string>& pages) {
  return LayOut(Objects(info, pages), "/Info 4 0 R");
}

// Three pages of distinct words; the first shows two words on one line
// apart from each other, one by moving, one by a kerning gap.
const std::vector<std::string> kThreePages = {
    "BT /F1 12 Tf 72 720 Td (alpha) Tj 36 0 Td (bravo) Tj -36 -14 Td [(tango) -400 (uniform)] TJ "
    "0 -14 Td (charlie) Tj ET",
    Lines({"(delta)", "(echo foxtrot)"}), Lines({"(golf)", "(hotel)"})};

// The words of each of kThreePages.
const std::vector<std::set<std::string>> kPageWords = {
    {"alpha", "bravo", "tango", "uniform", "charlie"},
    {"delta", "echo", "foxtrot"},
    {"golf", "hotel"}};

bool Has(const std::string& text, const std::string& word) {
  return text.find(word) != std::string::npos;
}

std::set<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::set<std::string> words;
  for (std::string word; in >> word;) words.insert(word);
  return words;
}

// The words of the text chunks (Body() runs the chunks together).
std::set<std::string> Words(const FilterRun& r) {
  std::set<std::string> words;
  for (const testing::FilteredChunk& chunk : r.chunks) {
    if (!chunk.title) words.merge(Words(chunk.text));
  }
  return words;
}

// Every word of `words` is one of `allowed`.
bool Within(const std::set<std::string>& words, const std::set<std::string>& allowed) {
  return std::includes(allowed.begin(), allowed.end(), words.begin(), words.end());
}

// The words of the first `pages` of kThreePages.
std::set<std::string> WordsOfPages(std::size_t pages) {
  std::set<std::string> words;
  for (std::size_t i = 0; i < pages; ++i) words.insert(kPageWords[i].begin(), kPageWords[i].end());
  return words;
}

class PdfTextTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  // In process, for documents made well.
  HRESULT Extract(const std::string& bytes, CollectingSink* sink) {
    const int fd = open(Write("doc.pdf", bytes).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    const HRESULT hr = ExtractPdf(fd, sink);
    close(fd);
    return hr;
  }
  // Through the helper: the parser's own answer is a clean end or "bad
  // format"; anything else (E_FAIL) means the helper died.
  FilterRun Hostile(const std::string& name, const std::string& bytes) {
    FilterRun r = RunFilter(Write(name, bytes));
    EXPECT_EQ(r.load, S_OK) << name;
    EXPECT_TRUE(r.end == FILTER_E_END_OF_CHUNKS || r.end == HRESULT_FROM_WIN32(ERROR_BAD_FORMAT))
        << name << ": " << std::hex << r.end;
    return r;
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(PdfTextTest, TitleThenOneChunkPerPageInOrderWithWordsApart) {
  CollectingSink sink(1 << 20);
  ASSERT_EQ(Extract(Pdf("/Title (Quarterly report) /Author (Nobody)", kThreePages), &sink), S_OK);
  const auto& chunks = sink.collected();
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[0].kind, ChunkKind::kTitle);
  EXPECT_EQ(sink.Text(ChunkKind::kTitle), "Quarterly report");
  const std::vector<std::vector<std::string>> words = {
      {"alpha bravo", "tango uniform", "charlie"}, {"delta", "echo foxtrot"}, {"golf", "hotel"}};
  for (std::size_t page = 0; page < words.size(); ++page) {
    const std::string text = Utf16ToUtf8(chunks[page + 1].text);
    EXPECT_EQ(chunks[page + 1].kind, ChunkKind::kText);
    for (std::size_t other = 0; other < words.size(); ++other) {
      for (const std::string& word : words[other]) {
        EXPECT_EQ(Has(text, word), page == other) << word << " on page " << page << ": " << text;
      }
    }
  }
  // Lines of a page stay apart too.
  EXPECT_FALSE(Has(sink.Text(ChunkKind::kText), "deltaecho")) << sink.Text(ChunkKind::kText);
  EXPECT_FALSE(Has(sink.Text(ChunkKind::kText), "Nobody"));
}

TEST_F(PdfTextTest, ColumnsAreReadOneAfterTheOther) {
  // Two columns drawn line by line across the page: a phrase that runs
  // down the left column must stay a phrase.
  CollectingSink sink(1 << 20);
  ASSERT_EQ(Extract(Pdf("", {"BT /F1 12 Tf 72 720 Td (quick brown) Tj 300 0 Td (lazy) Tj "
                             "-300 -14 Td (fox jumps) Tj 300 0 Td (dog) Tj ET"}),
                    &sink),
            S_OK);
  std::istringstream in(sink.Text(ChunkKind::kText));
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  EXPECT_EQ(words, (std::vector<std::string>{"quick", "brown", "fox", "jumps", "lazy", "dog"}));
}

TEST_F(PdfTextTest, NonAsciiTitleAndText) {
  // The title in UTF-16BE, the page in WinAnsi octal escapes.
  CollectingSink sink(1 << 20);
  ASSERT_EQ(Extract(Pdf("/Title <FEFF0043006100660065030100208A3F0020D83DDE00>",
                        {Lines({"(Caf\\351 cr\\350me br\\373l\\351e)", "(na\\357ve \\2002)"})}),
                    &sink),
            S_OK);
  EXPECT_EQ(sink.Text(ChunkKind::kTitle),
            "Cafe\xCC\x81 \xE8\xA8\xBF \xF0\x9F\x98\x80");  // combining accent, CJK, emoji
  const std::string body = sink.Text(ChunkKind::kText);
  EXPECT_TRUE(Has(body,
                  "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
                  "e"))
      << body;
  EXPECT_TRUE(Has(body,
                  "na\xC3\xAFve \xE2\x82\xAC"
                  "2"))
      << body;  // \200 is the euro sign
}

TEST_F(PdfTextTest, NoTitleBlankTitleAndEmptyPagesGiveNoChunk) {
  for (const std::string& info :
       {std::string(), std::string("/Title (  )"), std::string("/Title <FEFF00200000>")}) {
    CollectingSink sink(1 << 20);
    ASSERT_EQ(Extract(Pdf(info, {Lines({"(first)"}), "", Lines({"(third)"})}), &sink), S_OK);
    ASSERT_EQ(sink.collected().size(), 2u) << info;
    EXPECT_EQ(sink.Text(ChunkKind::kText), "first\nthird") << info;
  }
}

TEST_F(PdfTextTest, StopsCleanlyAtTheCap) {
  CollectingSink sink(12);
  EXPECT_EQ(Extract(Pdf("/Title (Quarterly report)", kThreePages), &sink), S_OK);
  EXPECT_TRUE(sink.truncated());
  ASSERT_EQ(sink.collected().size(), 1u);
  EXPECT_EQ(sink.Text(ChunkKind::kTitle), "Quarterly re");
}

TEST_F(PdfTextTest, TruncatedFilesGiveThePagesTheyStillHold) {
  const std::string whole = Pdf("/Title (Quarterly report)", kThreePages);
  const auto end_of = [&](const char* text) { return whole.find("endobj", whole.find(text)) + 7; };
  // Cut before the first page is whole: no more than its words.
  for (std::size_t cut :
       {std::size_t{8}, std::size_t{40}, whole.find("(alpha)") + 3, whole.find("(bravo)")}) {
    const FilterRun r = Hostile("cut" + std::to_string(cut) + ".pdf", whole.substr(0, cut));
    EXPECT_TRUE(Within(Words(r), kPageWords[0])) << cut << ": " << r.Body();
  }
  // The cross-reference table and trailer are gone; the pages whole before
  // the cut give their words, and only theirs.
  const std::pair<std::size_t, std::size_t> cuts[] = {{end_of("(charlie)"), 1},
                                                      {end_of("(echo foxtrot)"), 2},
                                                      {whole.find("xref\n0 "), 3},
                                                      {whole.find("xref\n0 ") + 20, 3}};
  for (const auto& [cut, pages] : cuts) {
    const FilterRun r = Hostile("pages" + std::to_string(cut) + ".pdf", whole.substr(0, cut));
    EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS);
    EXPECT_EQ(Words(r), WordsOfPages(pages)) << cut << ": " << r.Body();
  }
  // Only the pointer to the table is damaged: the title comes too.
  const FilterRun late = Hostile("late.pdf", whole.substr(0, whole.size() - 10));
  EXPECT_EQ(late.Title(), "Quarterly report");
  EXPECT_EQ(Words(late), WordsOfPages(3)) << late.Body();
  // poppler complains of every damaged object; none of it reaches the
  // helper's error output.
  const std::string cut = Write("quiet.pdf", whole.substr(0, end_of("(charlie)")));
  std::string errors;
  EXPECT_EQ(
      trovix::testing::RunProcess(
          {"/bin/sh", "-c", "'" + testing::BuiltHost() + "' '" + cut + "' >/dev/null"}, &errors),
      0);
  EXPECT_EQ(errors, "");
}

TEST_F(PdfTextTest, BrokenPageTreesEndAndKeepTheGoodPages) {
  // The middle page is missing; the others are still read.
  std::vector<std::string> objects = Objects("", kThreePages);
  objects[1] = "<< /Type /Pages /Kids [5 0 R 99 0 R 9 0 R] /Count 3 >>";
  const FilterRun missing = Hostile("missing.pdf", LayOut(objects, ""));
  std::set<std::string> first_and_last = kPageWords[0];
  first_and_last.insert(kPageWords[2].begin(), kPageWords[2].end());
  EXPECT_EQ(Words(missing), first_and_last) << missing.Body();
  // The tree's Kids lead back to the tree itself, directly and through a
  // node below it.
  objects = Objects("", kThreePages);
  objects[1] = "<< /Type /Pages /Kids [2 0 R 5 0 R 11 0 R] /Count 3 >>";
  objects.push_back("<< /Type /Pages /Parent 2 0 R /Kids [2 0 R 7 0 R] /Count 2 >>");
  const FilterRun loop = Hostile("loop.pdf", LayOut(objects, ""));
  EXPECT_EQ(Words(loop), WordsOfPages(2)) << loop.Body();
  // A page count beyond the objects in the file costs no time: poppler
  // believes none of it and finds no page at all.
  objects = Objects("", kThreePages);
  objects[1] = "<< /Type /Pages /Kids [5 0 R 7 0 R 9 0 R] /Count 2147483647 >>";
  const FilterRun count = Hostile("count.pdf", LayOut(objects, ""));
  EXPECT_EQ(count.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_TRUE(Within(Words(count), WordsOfPages(3))) << count.Body();
}

TEST_F(PdfTextTest, TwentyThousandPagesAllCome) {
  // Each page its own object, all sharing one content stream: 2.7 MB.
  constexpr int kPages = 20000;
  std::vector<std::string> objects = Objects("", {Lines({"(kilo)"})});
  std::string kids = "5 0 R ";
  for (int i = 1; i < kPages; ++i) {
    kids += std::to_string(objects.size() + 1) + " 0 R ";
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /Contents 6 0 R /Resources << /Font << /F1 3 0 R >> >> >>");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(kPages) + " >>";
  const FilterRun r = Hostile("pages.pdf", LayOut(objects, ""));
  EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(r.chunks.size(), static_cast<std::size_t>(kPages));
  EXPECT_EQ(Words(r), std::set<std::string>{"kilo"});
}

TEST_F(PdfTextTest, EncryptedAndMislabelledFilesGiveNoText) {
  // The standard security handler with a user password that is not empty:
  // nothing is read, not even the title.
  std::vector<std::string> objects = Objects("/Title (Quarterly report)", kThreePages);
  objects.push_back("<< /Filter /Standard /V 1 /R 2 /P -4 /O <" + std::string(64, 'A') + "> /U <" +
                    std::string(64, '5') + "> >>");
  const FilterRun locked = RunFilter(Write(
      "locked.pdf", LayOut(objects,
                           "/Info 4 0 R /Encrypt 11 0 R /ID [<00112233445566778899aabbccddeeff>"
                           "<00112233445566778899aabbccddeeff>]")));
  EXPECT_EQ(locked.end, FILTER_E_PASSWORD);
  EXPECT_TRUE(locked.chunks.empty());

  std::mt19937 random(7);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"page.pdf", "<html><body><p>htmlword</p></body></html>"},
           {"noise.pdf", noise},
           {"header.pdf", "%PDF-1.7\n%%EOF\n"},
           {"empty.pdf", ""}}) {
    const FilterRun r = Hostile(name, bytes);
    EXPECT_EQ(r.end, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)) << name;
    EXPECT_TRUE(r.chunks.empty()) << name;
  }
}

}  // namespace
}  // namespace docfilter
