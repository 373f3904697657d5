// The document filter with the real trovix-filterhost: markup documents
// written here, hostile documents, the text cap; then hand-made helpers that
// crash, hang or write damaged frames; and one file indexed end to end
// through the index store.
#include "filters/doc_filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filters/testing/filter_run.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace docfilter {
namespace {

using trovix::testing::WriteFile;

using testing::FilterRun;
const std::string kHost = testing::BuiltHost();
using Result = FilterRun;

Result Filter(const std::string& path, HelperSettings settings = {kHost}) {
  return testing::RunFilter(path, std::move(settings));
}

class DocFilterTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  // A helper program that is a shell script.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = Write(name, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0700);
    return path;
  }
  // Whether our child `pid` has ended and waits to be reaped.
  static bool IsZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && line.compare(name_end, 3, ") Z") == 0;
  }
  static void ExpectNoChildLeft() {
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(DocFilterTest, HtmlGivesItsTitleAndTextWithoutMarkupScriptsOrStyles) {
  const Result r =
      Filter(Write("page.html",
                   "<!DOCTYPE html><html><head><title>Mon caf&eacute;</title>"
                   "<style>.stylerule{color:red}</style>"
                   "<script>var scriptword = '<p>';</script></head>"
                   "<body><h1>Caf&eacute;&nbsp;r&#233;sum&#xE9;</h1><!-- commentword -->"
                   "<p>na\xC3\xAFve <b>bold</b>er \xE6\x97\xA5\xE6\x9C\xAC</p>"
                   "<p>next&amp;para</p></body></html>"));
  ASSERT_EQ(r.load, S_OK);
  EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS);
  ASSERT_EQ(r.chunks.size(), 2u);
  EXPECT_TRUE(r.chunks[0].title);
  EXPECT_EQ(r.chunks[0].text, "Mon caf\xC3\xA9\n");  // ends a word before the body
  const std::string body = r.Body();
  EXPECT_NE(body.find("Caf\xC3\xA9\xC2\xA0r\xC3\xA9sum\xC3\xA9"), std::string::npos) << body;
  EXPECT_NE(body.find("na\xC3\xAFve bolder \xE6\x97\xA5\xE6\x9C\xAC"), std::string::npos) << body;
  EXPECT_NE(body.find("next&para"), std::string::npos) << body;
  for (const char* absent : {"stylerule", "scriptword", "commentword", "<", "Mon"}) {
    EXPECT_EQ(body.find(absent), std::string::npos) << absent << " in " << body;
  }
}

TEST_F(DocFilterTest, XhtmlAndXmlGiveTheirText) {
  const Result x = Filter(
      Write("page.xhtml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
            "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">\n"
            "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>Titre</title>"
            "<script>hiddenword()</script></head><body><p>D&eacute;j&agrave; <em>vu</em>s</p>"
            "<div>\xCE\xB1\xCE\xB2</div></body></html>"));
  ASSERT_EQ(x.load, S_OK);
  ASSERT_EQ(x.chunks.size(), 2u);
  EXPECT_EQ(x.chunks[0].text, "Titre\n");
  EXPECT_EQ(x.Body(), "D\xC3\xA9j\xC3\xA0 vus \xCE\xB1\xCE\xB2");

  const Result xml = Filter(Write("data.xml",
                                  "<catalog><item id='attrword'>alpha</item><item>beta</item>"
                                  "<![CDATA[gamma <raw>]]><style>delta</style></catalog>"));
  ASSERT_EQ(xml.chunks.size(), 1u);  // no title in plain XML
  EXPECT_EQ(xml.Body(), "alpha beta gamma <raw> delta");
  EXPECT_EQ(xml.end, FILTER_E_END_OF_CHUNKS);
}

TEST_F(DocFilterTest, HostileDocumentsEndCleanlyWithoutLeakingText) {
  const std::string secret = Write("secret.txt", "topsecretword");
  // Truncated HTML still gives the text it has.
  EXPECT_EQ(Filter(Write("cut.html", "<html><body><p>partial text <b>unfin")).Body(),
            "partial text unfin");
  // An entity-expansion bomb, in content and in an attribute.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    const std::string prev = i == 1 ? "lol" : "lol" + std::to_string(i - 1);
    bomb += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) bomb += "&" + prev + ";";
    bomb += "\">";
  }
  bomb += "]><lolz a=\"&lol9;\">before &lol9; after</lolz>";
  const Result b = Filter(Write("bomb.xml", bomb));
  EXPECT_LT(b.Body().size(), 1000u) << b.Body().substr(0, 200);
  EXPECT_EQ(b.Body().find("lollol"), std::string::npos);
  // External entities are never read, whether declared in the document or
  // through an external DTD.
  for (const std::string& doc :
       {"<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret +
            "\">]><r>a &x; b</r>",
        "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"" + secret + "\"><r>a &x; b</r>",
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY % p SYSTEM \"" + secret +
            "\"> %p;]><r>a b</r>"}) {
    const Result e = Filter(Write("external.xml", doc));
    EXPECT_EQ(e.Body().find("topsecretword"), std::string::npos) << e.Body();
  }
  // Deep nesting costs neither stack nor time.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "deepword";
  const Result d = Filter(Write("deep.xml", deep));
  EXPECT_TRUE(d.end == FILTER_E_END_OF_CHUNKS) << std::hex << d.end;
}

TEST_F(DocFilterTest, FilesThatAreNotWhatTheirNameSays) {
  // Plain text under an XML name is still read.
  EXPECT_EQ(Filter(Write("notes.xml", "just some notes")).Body(), "just some notes");
  // A binary file is refused.
  EXPECT_EQ(Filter(Write("image.html", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16))).end,
            HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_EQ(Filter(Write("empty.html", "")).end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(Filter(tree_.home() + "/missing.html").load, HresultFromErrno(ENOENT));
  EXPECT_EQ(Filter(tree_.home()).load, HresultFromErrno(EISDIR));
}

TEST_F(DocFilterTest, TextIsCutAtTheCapAndLongChunksComeInPieces) {
  std::string words;
  for (int i = 0; i < 20000; ++i) words += "w" + std::to_string(i) + " ";
  const std::string path = Write("long.html", "<p>" + words + "</p>");
  const Result all = Filter(path);
  EXPECT_EQ(all.Body() + " ", words);  // more than one frame, joined without loss
  for (ULONG piece : all.pieces) EXPECT_LE(piece, 4095u);
  EXPECT_GT(all.pieces.size(), 30u);

  setenv("TROVIX_FILTERHOST_MAX_CHARS", "100", 1);
  const Result capped = Filter(path);
  unsetenv("TROVIX_FILTERHOST_MAX_CHARS");
  EXPECT_EQ(capped.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(capped.Body(), words.substr(0, 100));
}

TEST_F(DocFilterTest, PagesTooLargeForATreeStreamInChunksThatEndBetweenWords) {
  // As a tree this page would need more than the helper's 1 GiB.
  std::string page = "<html><head><title>Big</title></head><body><table>";
  const std::string row =
      "<tr><td class=\"c\">alpha <b>be</b>ta</td><td><a href=\"#\">link</a>"
      "</td></tr>\n";
  while (page.size() < (std::size_t{70} << 20)) page += row;
  page += "<tr><td>lastword</td></tr></table></body></html>";
  const std::string path = Write("big.html", page);
  page = std::string();
  setenv("TROVIX_FILTERHOST_MAX_CHARS", "100000000", 1);
  const Result r = Filter(path);
  unsetenv("TROVIX_FILTERHOST_MAX_CHARS");
  EXPECT_EQ(r.end, FILTER_E_END_OF_CHUNKS);
  ASSERT_GT(r.chunks.size(), 10u);
  EXPECT_EQ(r.chunks[0].text, "Big\n");
  // Read as the index store reads it (chunk after chunk), no word is cut.
  std::set<std::string> words;
  for (std::size_t i = 1; i < r.chunks.size(); ++i) {
    std::istringstream text(r.chunks[i].text);
    for (std::string word; text >> word;) words.insert(word);
  }
  EXPECT_EQ(words, (std::set<std::string>{"alpha", "beta", "link", "lastword"}));
  const std::string body = r.Body();
  EXPECT_EQ(body.substr(0, 21), "alpha beta link alpha");
  EXPECT_EQ(body.substr(body.size() - 8), "lastword");
}

// Frames as the helper writes them, for hand-made helpers.
std::string Frame(std::uint16_t type, std::uint16_t flags, std::uint32_t id,
                  const std::u16string& text, HRESULT status = S_OK) {
  FrameHeader h;
  h.type = type;
  h.flags = flags;
  h.chunk_id = id;
  h.length = static_cast<std::uint32_t>(text.size());
  h.status = status;
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return bytes;
}

TEST_F(DocFilterTest, MisbehavingHelpersEndTheFileWithAFailureAndAreReaped) {
  const std::string doc = Write("doc.html", "<p>x</p>");
  auto helper_writing = [&](const std::string& name, const std::string& frames,
                            const std::string& then) {
    WriteFile(tree_.home() + "/" + name + ".bin", frames);
    return HelperSettings{Script(name, "cat '" + tree_.home() + "/" + name + ".bin'; " + then)};
  };
  const std::u16string text(10000, u'a');
  const std::string good = Frame(kFrameText, kFlagText, 1, text.substr(0, 6000)) +
                           Frame(kFrameText, kFlagText, 1, text.substr(6000));
  // One chunk of 10,000 units in two frames: three pieces of at most 4095.
  const Result ok = Filter(doc, helper_writing("ok", good + Frame(kFrameEnd, 0, 0, u""), ""));
  EXPECT_EQ(ok.pieces, (std::vector<ULONG>{4095, 1905, 4000}));
  EXPECT_EQ(ok.end, FILTER_E_END_OF_CHUNKS);
  // The text so far is delivered, then the crash shows.
  const Result crash = Filter(doc, helper_writing("crash", good, "kill -SEGV $$"));
  EXPECT_EQ(crash.Body().size(), 10000u);
  EXPECT_EQ(crash.end, E_FAIL);
  // The helper's own failure code is passed on.
  EXPECT_EQ(Filter(doc, helper_writing("fail", Frame(kFrameEnd, 0, 0, u"", E_OUTOFMEMORY), "")).end,
            E_OUTOFMEMORY);
  for (const std::string& damaged :
       {std::string("garbage garbage garbage garbage"),
        Frame(kFrameText, kFlagText, 2, u"b") + Frame(kFrameText, kFlagText, 1, u"a"),
        Frame(kFrameText, kFlagText, 1, u"b") + Frame(kFrameText, kFlagTitle | kFlagText, 1, u"a"),
        Frame(kFrameText, 0x10 | kFlagText, 1, u"x"), Frame(kFrameEnd, 0, 3, u"")}) {
    EXPECT_EQ(Filter(doc, helper_writing("damaged", damaged, "sleep 5")).end, FILTER_E_ACCESS);
  }
  std::string oversized = Frame(kFrameText, kFlagText, 1, u"x");
  reinterpret_cast<FrameHeader*>(oversized.data())->length = kMaxFrameUnits + 1;
  EXPECT_EQ(Filter(doc, helper_writing("big", oversized, "")).end, FILTER_E_ACCESS);

  const auto start = std::chrono::steady_clock::now();
  const Result hang =
      Filter(doc, HelperSettings{Script("hang", "exec sleep 30"), std::chrono::milliseconds(300)});
  EXPECT_EQ(hang.end, HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  // A helper that computes (ready to run, as a starved one is) is not
  // charged for the wait: it answers well after the budget and still counts.
  const std::string frames = good + Frame(kFrameEnd, 0, 0, u"");
  WriteFile(tree_.home() + "/busy.bin", frames);
  const Result busy = Filter(
      doc,
      HelperSettings{Script("busy", "i=0; while [ $i -lt 3000000 ]; do i=$((i+1)); done; cat '" +
                                        tree_.home() + "/busy.bin'"),
                     std::chrono::milliseconds(300)});
  EXPECT_EQ(busy.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(busy.Body().size(), 10000u);
  EXPECT_EQ(Filter(doc, HelperSettings{tree_.home() + "/no-such-helper"}).load,
            HresultFromErrno(ENOENT));
  EXPECT_EQ(Filter(doc, HelperSettings{}).load, HresultFromErrno(ENOENT));
  ExpectNoChildLeft();
}

TEST_F(DocFilterTest, InitStartsOverAndAttributesSelectChunks) {
  const std::string path = Write("t.html", "<title>Head</title><p>body text</p>");
  DocFilter* filter = DocFilter::Create(nullptr, {kHost});
  ASSERT_EQ(filter->Load(Utf8ToUtf16(path).c_str(), STGM_READ), S_OK);
  STAT_CHUNK stat{};
  ULONG flags = 0;
  EXPECT_EQ(filter->GetChunk(&stat), E_UNEXPECTED);
  FULLPROPSPEC body{PSGUID_STORAGE, {PRSPEC_PROPID, {PID_STG_CONTENTS}}};
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(filter->Init(0, 1, &body, &flags), S_OK);
    ASSERT_EQ(filter->GetChunk(&stat), S_OK);
    EXPECT_EQ(stat.idChunk, 1u);
    EXPECT_EQ(stat.attribute.psProperty.propid, PID_STG_CONTENTS);
    WCHAR buffer[64];
    ULONG count = 64;
    ASSERT_EQ(filter->GetText(&count, buffer), S_OK);
    EXPECT_EQ(std::u16string(buffer, count), u"body text\n");
    EXPECT_EQ(filter->GetChunk(&stat), FILTER_E_END_OF_CHUNKS);
  }
  filter->Release();
  ExpectNoChildLeft();
}

TEST_F(DocFilterTest, PooledHelpersServeFileAfterFileUntilOneFailsOrRetires) {
  const std::string alpha = Write("alpha.html", "<p>alpha</p>");
  const std::string beta = Write("beta.html", "<p>beta</p>");
  {
    HelperPool pool(/*max_idle=*/2, /*max_requests=*/3);
    HelperSettings settings{kHost};
    settings.pool = &pool;
    EXPECT_EQ(Filter(alpha, settings).Body(), "alpha");
    ASSERT_EQ(pool.idle(), 1u);
    std::unique_ptr<HelperProcess> helper = pool.Take(kHost);
    ASSERT_NE(helper, nullptr);
    const pid_t first = helper->pid();
    pool.Give(std::move(helper));
    EXPECT_EQ(Filter(beta, settings).Body(), "beta");
    helper = pool.Take(kHost);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->pid(), first);  // the same process read both files
    EXPECT_EQ(pool.Take("/other/program"), nullptr);

    // An idle helper that died (as when the thread that started it ends):
    // the next file still gets its text.
    kill(helper->pid(), SIGKILL);
    pool.Give(std::move(helper));
    EXPECT_EQ(Filter(alpha, settings).Body(), "alpha");
    EXPECT_EQ(pool.idle(), 1u);

    // A failed parse is not trusted again.
    EXPECT_EQ(Filter(Write("image.html", std::string("\x89PNG\0\0\0", 8)), settings).end,
              HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
    EXPECT_EQ(pool.idle(), 0u);
    // Nor is one abandoned in the middle of a file.
    DocFilter* filter = DocFilter::Create(nullptr, settings);
    ASSERT_EQ(filter->Load(Utf8ToUtf16(alpha).c_str(), STGM_READ), S_OK);
    filter->Release();
    EXPECT_EQ(pool.idle(), 0u);

    // A helper started by another thread is never handed to this one: it
    // dies when its thread ends, perhaps in the middle of our file. Once
    // dead it makes room in the pool.
    pid_t other = -1;
    std::thread([&] {
      EXPECT_EQ(Filter(alpha, settings).Body(), "alpha");
      std::unique_ptr<HelperProcess> own = pool.Take(kHost);
      ASSERT_NE(own, nullptr);
      other = own->pid();
      pool.Give(std::move(own));
    }).join();
    ASSERT_EQ(pool.idle(), 1u);
    EXPECT_EQ(pool.Take(kHost), nullptr);
    while (!IsZombie(other)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Filter(beta, settings).Body(), "beta");
    helper = pool.Take(kHost);
    ASSERT_NE(helper, nullptr);
    EXPECT_NE(helper->pid(), other);
    EXPECT_EQ(pool.idle(), 0u);  // the dead one was dropped
    helper.reset();

    // A helper retires after its third file.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Filter(beta, settings).Body(), "beta");
    EXPECT_EQ(pool.idle(), 0u);
    EXPECT_EQ(Filter(beta, settings).Body(), "beta");
    EXPECT_EQ(pool.idle(), 1u);
  }
  ExpectNoChildLeft();  // the pool stopped its idle helper
}

TEST_F(DocFilterTest, ServingHelperAnswersRequestsInTurnAndRefusesMalformedOnes) {
  const std::string alpha = Write("alpha.html", "<title>T</title><p>alpha</p>");
  HelperProcess helper;
  ASSERT_EQ(helper.Start(kHost, {"--serve"}, std::chrono::seconds(10)), S_OK);
  auto request = [](const std::string& path) {
    RequestHeader header;
    header.length = static_cast<std::uint32_t>(path.size());
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + path;
  };
  // Reads one answer: the number of text frames before the end frame.
  auto answer = [&](HRESULT* status) {
    int frames = 0;
    for (;;) {
      FrameHeader header;
      if (FAILED(helper.Read(&header, sizeof header))) return -1;
      if (header.type == kFrameEnd) {
        *status = header.status;
        return frames;
      }
      std::u16string text(header.length, u' ');
      if (FAILED(helper.Read(text.data(), text.size() * 2))) return -1;
      ++frames;
    }
  };
  // The file travels as a descriptor; a request without one is refused,
  // as the helper opens no file by name.
  const std::string with_file = request(alpha);
  const int fd = open(alpha.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(helper.Send(with_file.data(), with_file.size(), std::chrono::seconds(10), fd), S_OK);
  close(fd);
  const std::string without_file = request(alpha);
  ASSERT_EQ(helper.Send(without_file.data(), without_file.size(), std::chrono::seconds(10)), S_OK);
  HRESULT status = E_FAIL;
  EXPECT_EQ(answer(&status), 2);  // title and body
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(answer(&status), 0);
  EXPECT_EQ(status, FILTER_E_ACCESS);
  // A request that is not one ends the helper.
  std::string bad = request(alpha);
  bad[0] = 'X';
  ASSERT_EQ(helper.Send(bad.data(), bad.size(), std::chrono::seconds(10)), S_OK);
  EXPECT_EQ(answer(&status), -1);
  helper.Stop();
  ExpectNoChildLeft();
}

TEST_F(DocFilterTest, InstalledHelperLiesInLibexecBesideTheRecordedPrograms) {
  unsetenv("TROVIX_FILTERHOST");
  EXPECT_EQ(InstalledHelper().program, "");  // not set up: no helper at all
  RegKey key;
  ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(trovix::keys::kBinPath, u"/opt/trovix/bin/"), ERROR_SUCCESS);
  EXPECT_EQ(InstalledHelper().program, "/opt/trovix/libexec/trovix/trovix-filterhost");
  ASSERT_EQ(key.SetString(trovix::keys::kBinPath, u"/opt/trovix/bin"), ERROR_SUCCESS);
  EXPECT_EQ(InstalledHelper().program, "/opt/trovix/libexec/trovix/trovix-filterhost");
  EXPECT_EQ(HelperBeside("/usr/bin/"), "/usr/libexec/trovix/trovix-filterhost");
  // The variable outranks the registration: tests run the built helper.
  setenv("TROVIX_FILTERHOST", kHost.c_str(), 1);
  EXPECT_EQ(InstalledHelper().program, kHost);
  unsetenv("TROVIX_FILTERHOST");
}

class DocFilterIndexTest : public ordalis::testing::OrdalisTest {};

TEST_F(DocFilterIndexTest, IndexFileReadsMarkupThroughTheRegisteredFilter) {
  setenv("TROVIX_FILTERHOST", kHost.c_str(), 1);
  ASSERT_EQ(ordalis::testing::RegisterBuiltDocFilter(), S_OK);
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  const std::string path = tree_->home() + "/page.htm";
  WriteFile(path, "<title>Zebrafish</title><script>hiddenword</script><p>Cr&egrave;me</p>");
  const WString wide = Utf8ToUtf16(path);
  ASSERT_TRUE(SUCCEEDED(db->AddFile(wide.c_str())));
  EXPECT_EQ(db->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
  EXPECT_EQ(db->Cleanup(), S_OK);
  db.reset();
  unsetenv("TROVIX_FILTERHOST");

  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open_v2(DatabasePath().c_str(), &sql, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(sql, "SELECT lower(Word) FROM Words ORDER BY 1", -1, &stmt, nullptr),
            SQLITE_OK);
  std::vector<std::string> words;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    words.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(sql);
  EXPECT_EQ(words, (std::vector<std::string>{"cr\xC3\xA8me", "zebrafish"}));
}

}  // namespace
}  // namespace docfilter
