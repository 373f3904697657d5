// The trovix command through the installed suite: real processes, a real
// index of real files in a private home, compared with an independent scan.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "platform/testing/long_path.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "tools/cli/output.h"

namespace {

using trovix::testing::RunProcess;

class TrovixCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = tree_.root() + "/prefix";
    std::string output;
    ASSERT_EQ(trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, prefix_, &output), 0)
        << output;
    ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix-setup"}, &output), 0) << output;
    docs_ = tree_.home() + "/docs";
  }

  // Runs trovix; stdout and stderr together in `output`.
  int Trovix(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {prefix_ + "/bin/trovix"};
    argv.insert(argv.end(), args.begin(), args.end());
    output->clear();
    return RunProcess(argv, output);
  }

  // Runs a shell command line (for redirections and limits); stdout and
  // stderr together in `output`.
  static int Shell(const std::string& command, std::string* output) {
    output->clear();
    return RunProcess({"/bin/sh", "-c", command}, output);
  }
  std::string TrovixProgram() const { return prefix_ + "/bin/trovix"; }

  // The lines of `output` that are paths (the count line is not one).
  static std::vector<std::string> Paths(const std::string& output) {
    std::vector<std::string> paths;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] == '/') paths.push_back(line);
    }
    return paths;
  }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
  std::string docs_;
};

// Words a-z only, so the independent scan needs no Unicode rules.
const char* const kVocabulary[] = {"budget", "report", "meeting", "garden", "invoice",
                                   "Budget", "REPORT", "travel",  "recipe", "replay"};

// The lower-cased words of `text` the index keeps: longer than two letters.
std::set<std::string> WordsOf(const std::string& text) {
  std::set<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    std::transform(word.begin(), word.end(), word.begin(), ::tolower);
    if (word.size() > 2) words.insert(word);
  }
  return words;
}

TEST_F(TrovixCliTest, IndexThenSearchFindsWhatAnIndependentScanFinds) {
  std::mt19937 random(11);
  std::map<std::string, std::set<std::string>> words_of;  // path → words
  for (int i = 0; i < 40; ++i) {
    std::string text;
    for (int w = 0; w < 1 + static_cast<int>(random() % 6); ++w) {
      text += std::string(kVocabulary[random() % 10]) + " ";
    }
    const std::string path = docs_ + (i % 3 == 0 ? "/sub/" : "/") + "note" + std::to_string(i) +
                             (i % 4 ? ".txt" : ".md");
    trovix::testing::WriteFile(path, text);
    words_of[path] = WordsOf(text);
  }
  trovix::testing::WriteFile(docs_ + "/image.blob", "budget report");  // no filter: not read
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  EXPECT_NE(output.find("40 indexed"), std::string::npos) << output;

  const auto expect = [&](const std::vector<std::string>& query, auto matches) {
    std::vector<std::string> wanted;
    for (const auto& [path, words] : words_of) {
      if (matches(words)) wanted.push_back(path);
    }
    std::vector<std::string> args = {"search"};
    args.insert(args.end(), query.begin(), query.end());
    const int status = Trovix(args, &output);
    std::vector<std::string> got = Paths(output);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, wanted) << output;
    EXPECT_EQ(status, wanted.empty() ? 1 : 0) << output;
  };
  expect({"budget"}, [](const auto& w) { return w.count("budget") > 0; });
  expect({"REPORT", "garden"},
         [](const auto& w) { return w.count("report") > 0 && w.count("garden") > 0; });
  expect({"re*"},
         [](const auto& w) { return w.count("report") || w.count("recipe") || w.count("replay"); });
  expect({"nothing"}, [](const auto&) { return false; });
}

// Whole words of a real text, lower-cased: runs of letters, digits, "_" and
// any non-ASCII byte (the letters of other scripts in UTF-8).
std::set<std::string> RealWordsOf(const std::string& text) {
  std::set<std::string> words;
  std::string word;
  for (const char c : text + " ") {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '_' || u >= 0x80) {
      word += static_cast<char>(std::tolower(u));
    } else {
      words.insert(word);
      word.clear();
    }
  }
  return words;
}

TEST_F(TrovixCliTest, RealTextFindsExactlyTheFilesAScanFinds) {
  std::map<std::string, std::set<std::string>> words_of;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/share/common-licenses")) {
    if (!entry.is_regular_file()) continue;
    const std::string text = trovix::testing::ReadFile(entry.path().string());
    const std::string path = docs_ + "/" + entry.path().filename().string() + ".txt";
    trovix::testing::WriteFile(path, text);
    words_of[path] = RealWordsOf(text);
  }
  if (words_of.size() < 3) GTEST_SKIP() << "no licence texts on this machine";
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  std::size_t found_any = 0;
  for (const char* word : {"warranty", "patent", "copyleft", "apache", "perl"}) {
    std::vector<std::string> wanted;
    for (const auto& [path, words] : words_of) {
      if (words.count(word) > 0) wanted.push_back(path);
    }
    Trovix({"search", word}, &output);
    std::vector<std::string> got = Paths(output);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, wanted) << word << "\n" << output;
    found_any += wanted.size();
  }
  EXPECT_GT(found_any, 5u) << "the words were chosen to occur in the licences";
}

TEST_F(TrovixCliTest, PatternsNarrowTheResultAndOutputFormatsAreUsable) {
  trovix::testing::WriteFile(docs_ + "/a.txt", "budget alpha");
  trovix::testing::WriteFile(docs_ + "/b.md", "budget beta");
  trovix::testing::WriteFile(docs_ + "/sub/c.txt", "budget gamma");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;

  ASSERT_EQ(Trovix({"search", "--exclude", "*.md", "budget"}, &output), 0);
  EXPECT_EQ(Paths(output), (std::vector<std::string>{docs_ + "/a.txt", docs_ + "/sub/c.txt"}));
  ASSERT_EQ(Trovix({"search", "--include=" + docs_ + "/sub/*", "budget"}, &output), 0);
  EXPECT_EQ(Paths(output), (std::vector<std::string>{docs_ + "/sub/c.txt"}));
  ASSERT_EQ(Trovix({"search", "--include", "~/docs/;$HOME/docs/sub/", "budget"}, &output), 0);
  EXPECT_EQ(Paths(output).size(), 3u) << output;
  // Rows come sorted by file name.
  ASSERT_EQ(Trovix({"search", "budget"}, &output), 0);
  EXPECT_EQ(Paths(output),
            (std::vector<std::string>{docs_ + "/a.txt", docs_ + "/b.md", docs_ + "/sub/c.txt"}));
  EXPECT_NE(output.find("3 files matched"), std::string::npos);

  ASSERT_EQ(Trovix({"search", "--json", "alpha"}, &output), 0);
  EXPECT_NE(output.find("{\"path\":\"" + docs_ + "/a.txt\",\"size\":12,"), std::string::npos)
      << output;
  ASSERT_EQ(Trovix({"search", "--long", "alpha"}, &output), 0);
  EXPECT_NE(output.find("  12  " + docs_ + "/a.txt"), std::string::npos) << output;
  // No words at all lists every catalogued file.
  ASSERT_EQ(Trovix({"search"}, &output), 0);
  EXPECT_EQ(Paths(output).size(), 3u);
}

// "--sort relevance": a file whose name holds a query word first; then the
// counts weighted by rarity, so two of a rare word outweigh three of a word
// every file has; then the newer file. Counted plainly, a.txt (four query
// words) would come before b.txt (three).
TEST_F(TrovixCliTest, RelevanceOrderPutsNameHitsFirstThenRarityWeightedCountsThenNewest) {
  namespace fs = std::filesystem;
  for (int i = 0; i < 20; ++i) {
    trovix::testing::WriteFile(docs_ + "/filler" + std::to_string(i) + ".txt", "common filler");
  }
  trovix::testing::WriteFile(docs_ + "/rare-notes.txt", "common rare");
  trovix::testing::WriteFile(docs_ + "/a.txt", "common common common rare");
  trovix::testing::WriteFile(docs_ + "/b.txt", "common rare rare");
  trovix::testing::WriteFile(docs_ + "/c.txt", "common rare");
  trovix::testing::WriteFile(docs_ + "/d.txt", "common rare");
  // c.txt older than d.txt, and older than what the name order would give.
  const auto now = fs::file_time_type::clock::now();
  fs::last_write_time(docs_ + "/c.txt", now - std::chrono::hours(48));
  fs::last_write_time(docs_ + "/d.txt", now - std::chrono::hours(24));
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;

  const std::vector<std::string> ranked = {docs_ + "/rare-notes.txt", docs_ + "/b.txt",
                                           docs_ + "/a.txt", docs_ + "/d.txt", docs_ + "/c.txt"};
  ASSERT_EQ(Trovix({"search", "--sort", "relevance", "common", "rare"}, &output), 0) << output;
  EXPECT_EQ(Paths(output), ranked) << output;
  EXPECT_NE(output.find("5 files matched"), std::string::npos) << output;
  // A prefix word counts every word it begins, and finds the name as well.
  ASSERT_EQ(Trovix({"search", "--sort=relevance", "common", "rar*"}, &output), 0) << output;
  EXPECT_EQ(Paths(output), ranked) << output;
  // The order applies to the other formats, and the name order stays the default.
  ASSERT_EQ(Trovix({"search", "--sort", "relevance", "--json", "rare"}, &output), 0) << output;
  EXPECT_LT(output.find("/rare-notes.txt\""), output.find("/b.txt\"")) << output;
  EXPECT_LT(output.find("/b.txt\""), output.find("/a.txt\"")) << output;
  ASSERT_EQ(Trovix({"search", "common", "rare"}, &output), 0) << output;
  EXPECT_EQ(Paths(output),
            (std::vector<std::string>{docs_ + "/a.txt", docs_ + "/b.txt", docs_ + "/c.txt",
                                      docs_ + "/d.txt", docs_ + "/rare-notes.txt"}));
  EXPECT_EQ(Trovix({"search", "--sort", "size", "rare"}, &output), 2);
  EXPECT_NE(output.find("--sort takes name or relevance"), std::string::npos) << output;
}

// Searching and looking for duplicates change nothing, so they must not pay
// for rewriting the registry hive either: the file keeps its bytes, inode and
// time; and the counters stay for the next command that writes.
TEST_F(TrovixCliTest, SearchesAndDuplicatesLeaveTheRegistryHiveUntouched) {
  trovix::testing::WriteFile(docs_ + "/a.txt", "budget alpha");
  trovix::testing::WriteFile(docs_ + "/b.txt", "budget alpha");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  const auto state = [hive = tree_.user_hive()] {
    struct stat st {};
    EXPECT_EQ(stat(hive.c_str(), &st), 0);
    return std::make_tuple(trovix::testing::ReadFile(hive), st.st_ino, st.st_mtim.tv_sec,
                           st.st_mtim.tv_nsec);
  };
  const auto before = state();
  ASSERT_NE(std::get<0>(before).find("\"Files Indexed\"=dword:00000002"), std::string::npos)
      << std::get<0>(before);
  ASSERT_EQ(Trovix({"search", "budget"}, &output), 0) << output;
  EXPECT_EQ(Paths(output).size(), 2u) << output;
  EXPECT_EQ(Trovix({"search", "nowhere"}, &output), 1) << output;
  ASSERT_EQ(Trovix({"duplicates", docs_ + "/a.txt"}, &output), 0) << output;
  EXPECT_TRUE(state() == before) << "the hive was rewritten";
  ASSERT_EQ(Trovix({"stats"}, &output), 0) << output;
  EXPECT_NE(output.find("Files indexed:         2\n"), std::string::npos) << output;
}

TEST_F(TrovixCliTest, StatsDuplicatesAndCompact) {
  trovix::testing::WriteFile(docs_ + "/a.txt", "same content here");
  trovix::testing::WriteFile(docs_ + "/copy.txt", "same content here");
  trovix::testing::WriteFile(docs_ + "/other.txt", "something different");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"stats"}, &output), 0) << output;
  EXPECT_NE(output.find("Files catalogued:      3\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Files indexed:         3\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Database:              " + tree_.data() + "/Quillon/Ordalis.mdb"),
            std::string::npos)
      << output;

  ASSERT_EQ(Trovix({"duplicates", docs_ + "/a.txt"}, &output), 0) << output;
  std::vector<std::string> same = Paths(output);
  std::sort(same.begin(), same.end());
  EXPECT_EQ(same, (std::vector<std::string>{docs_ + "/a.txt", docs_ + "/copy.txt"}));
  trovix::testing::WriteFile(tree_.root() + "/unique.txt", "nothing else like it");
  EXPECT_EQ(Trovix({"duplicates", tree_.root() + "/unique.txt"}, &output), 1) << output;

  ASSERT_EQ(Trovix({"compact"}, &output), 0) << output;
  EXPECT_NE(output.find("Compacted in"), std::string::npos) << output;
  ASSERT_EQ(Trovix({"search", "different"}, &output), 0) << "the index survives compaction";
}

// One document of every format the document filter reads, each with a word
// no other has; then damaged and disguised copies of them all.
TEST_F(TrovixCliTest, EveryDocumentFormatIsIndexedAndHostileFilesLeaveTheRunStanding) {
  namespace fs = std::filesystem;
  const std::map<std::string, std::string> word_of = {
      {"html", "coffee"}, {"xml", "raw"},      {"pdf", "second"}, {"odt", "berlin"},
      {"docx", "dear"},   {"epub", "chapter"}, {"rtf", "lait"},   {"eml", "soft"}};
  std::vector<std::string> seeds;
  for (const auto& [extension, word] : word_of) {
    for (const auto& seed : fs::directory_iterator(fs::path(TROVIX_SEED_DOCUMENTS) / extension)) {
      const std::string bytes = trovix::testing::ReadFile(seed.path());
      trovix::testing::WriteFile(docs_ + "/good/doc." + extension, bytes);
      // Cut in the middle, its bytes scrambled, another format's bytes.
      trovix::testing::WriteFile(docs_ + "/bad/cut." + extension,
                                 bytes.substr(0, bytes.size() / 2));
      std::string scrambled = bytes;
      for (std::size_t i = 7; i < scrambled.size(); i += 13) scrambled[i] ^= 0x5A;
      trovix::testing::WriteFile(docs_ + "/bad/scrambled." + extension, scrambled);
      trovix::testing::WriteFile(docs_ + "/bad/disguised." + extension,
                                 extension == "pdf" ? "PK\x03\x04 not a zip" : "%PDF-1.4 junk");
      seeds.push_back(extension);
    }
  }
  ASSERT_EQ(seeds.size(), word_of.size());
  std::string output;
  // Damaged documents are read only in part, and named with their reason.
  ASSERT_EQ(Trovix({"index", docs_}, &output), 1) << output;
  EXPECT_NE(output.find(docs_ + "/bad/"), std::string::npos) << output;
  EXPECT_NE(output.find(": only partly read\n"), std::string::npos) << output;
  for (const auto& [extension, word] : word_of) {
    ASSERT_EQ(Trovix({"search", "--include", docs_ + "/good/", word}, &output), 0) << word;
    EXPECT_EQ(Paths(output), std::vector<std::string>{docs_ + "/good/doc." + extension}) << output;
  }
  // Every hostile file is catalogued, with or without words.
  std::vector<std::string> catalogued;
  for (const char* which : {"+", "-"}) {
    Trovix({"search", "--include", docs_ + "/bad/", which}, &output);
    for (const std::string& path : Paths(output)) catalogued.push_back(path);
  }
  EXPECT_EQ(catalogued.size(), 3 * word_of.size()) << output;
}

TEST_F(TrovixCliTest, BadInputGetsAClearMessageAndStatus) {
  std::string output;
  EXPECT_EQ(Trovix({}, &output), 2);
  EXPECT_NE(output.find("Usage:"), std::string::npos);
  EXPECT_EQ(Trovix({"search", "--frobnicate"}, &output), 2);
  EXPECT_NE(output.find("unknown or incomplete option '--frobnicate'"), std::string::npos);
  EXPECT_EQ(Trovix({"search", "--include"}, &output), 2);
  EXPECT_EQ(Trovix({"index"}, &output), 2);
  EXPECT_EQ(Trovix({"index", tree_.root() + "/missing"}, &output), 2);
  EXPECT_NE(output.find("cannot read"), std::string::npos);
  // Quotes, percent signs and separators are just text.
  EXPECT_EQ(Trovix({"search", "it's", "100%", "\"quoted\"", ",.;"}, &output), 1) << output;
  const int long_word = Trovix({"search", std::string(10000, 'x')}, &output);
  EXPECT_TRUE(long_word == 1 || long_word == 2) << output;
  EXPECT_EQ(Trovix({"--version"}, &output), 0);
  EXPECT_NE(output.find("trovix "), std::string::npos);

  std::filesystem::remove(tree_.data() + "/Quillon/Ordalis.mdb");
  EXPECT_EQ(Trovix({"search", "budget"}, &output), 2);
  EXPECT_NE(output.find("there is no index database"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(tree_.data() + "/Quillon/Ordalis.mdb"));
}

TEST_F(TrovixCliTest, IndexingAgainRemovesFilesAndFoldersThatAreGone) {
  trovix::testing::WriteFile(docs_ + "/kept.txt", "budget kept");
  trovix::testing::WriteFile(docs_ + "/deleted.txt", "budget deleted");
  trovix::testing::WriteFile(docs_ + "/sub/c.txt", "budget sub");
  trovix::testing::WriteFile(docs_ + "/turned.txt", "budget turned");
  trovix::testing::WriteFile(docs_ + "/named.txt", "budget named");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_ + "/"}, &output), 0) << output;
  EXPECT_NE(output.find("5 indexed, 0 unchanged, 0 skipped, 0 failed, 0 removed"),
            std::string::npos)
      << output;

  // Changed while nothing was indexing.
  std::filesystem::remove(docs_ + "/deleted.txt");
  std::filesystem::remove_all(docs_ + "/sub");
  std::filesystem::remove(docs_ + "/turned.txt");
  trovix::testing::WriteFile(docs_ + "/turned.txt/inside.txt", "budget inside");
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  EXPECT_NE(output.find("1 indexed, 2 unchanged, 0 skipped, 0 failed, 3 removed"),
            std::string::npos)
      << output;
  ASSERT_EQ(Trovix({"search", "budget"}, &output), 0);
  EXPECT_EQ(Paths(output), (std::vector<std::string>{docs_ + "/turned.txt/inside.txt",
                                                     docs_ + "/kept.txt", docs_ + "/named.txt"}))
      << output;

  // A named file that is gone leaves the index; named again, it is unknown.
  std::filesystem::remove(docs_ + "/named.txt");
  ASSERT_EQ(Trovix({"index", docs_ + "/named.txt"}, &output), 0) << output;
  EXPECT_NE(output.find("1 removed"), std::string::npos) << output;
  EXPECT_EQ(Trovix({"search", "named"}, &output), 1) << output;
  EXPECT_EQ(Trovix({"index", docs_ + "/named.txt"}, &output), 2) << output;
  EXPECT_NE(output.find("cannot read"), std::string::npos) << output;
  // So does a named folder that is gone, with everything below it.
  std::filesystem::remove_all(docs_);
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  EXPECT_NE(output.find("2 removed"), std::string::npos) << output;
  EXPECT_EQ(Trovix({"search"}, &output), 1) << output;
}

// Writes beyond a few kilobytes fail (EFBIG: SIGXFSZ is ignored, as a
// program in a full file system would see ENOSPC).
TEST_F(TrovixCliTest, WhenTheDatabaseFailsTheRunStopsWithExitTwoAndSaysWhy) {
  for (int i = 0; i < 30; ++i) {
    std::string text;
    for (int w = 0; w < 400; ++w) text += "word" + std::to_string(i * 1000 + w) + " ";
    trovix::testing::WriteFile(docs_ + "/f" + std::to_string(i) + ".txt", text);
  }
  const std::string database = tree_.data() + "/Quillon/Ordalis.mdb";
  // Room to open the database (its shared-memory index takes 32 KiB) but
  // not to write the words.
  const auto limit = std::max<std::uintmax_t>(std::filesystem::file_size(database), 32768) + 8192;
  std::string output;
  const int status = Shell("trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " -- " +
                               TrovixProgram() + " index " + docs_,
                           &output);
  EXPECT_EQ(status, 2) << output;
  EXPECT_NE(output.find("the index database failed: "), std::string::npos) << output;
  EXPECT_NE(output.find("not done"), std::string::npos) << output;

  // Without the limit the same run completes, on a database that still works.
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"stats"}, &output), 0) << output;
  EXPECT_NE(output.find("Files indexed:         30\n"), std::string::npos) << output;
  ASSERT_EQ(Trovix({"search", "word29399"}, &output), 0) << output;
}

// The middle page of the catalogue's file table, which stats reads in full
// (to count the files with words), as the byte offset of the page in the
// database file and its size.
std::pair<std::size_t, std::size_t> MiddlePageOfFiles(const std::string& database) {
  sqlite3* db = nullptr;
  std::pair<std::size_t, std::size_t> page{0, 0};
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT (SELECT page_size FROM pragma_page_size), pageno FROM dbstat "
                           "WHERE name = 'Files' ORDER BY pageno",
                           -1, &stmt, nullptr) == SQLITE_OK) {
      std::vector<std::size_t> pages;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        page.second = static_cast<std::size_t>(sqlite3_column_int64(stmt, 0));
        pages.push_back(static_cast<std::size_t>(sqlite3_column_int64(stmt, 1)));
      }
      if (!pages.empty()) page.first = (pages[pages.size() / 2] - 1) * page.second;
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return page;
}

TEST_F(TrovixCliTest, StatsFailsOnADamagedDatabase) {
  std::mt19937 random(5);
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (int w = 0; w < 50; ++w) text += "term" + std::to_string(random() % 200) + " ";
    trovix::testing::WriteFile(docs_ + "/n" + std::to_string(i) + ".txt", text);
  }
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"stats"}, &output), 0) << output;
  const std::string database = tree_.data() + "/Quillon/Ordalis.mdb";
  ASSERT_FALSE(std::filesystem::exists(database + "-wal")) << "all pages in the file";
  const std::string intact = trovix::testing::ReadFile(database);
  const auto [offset, page_size] = MiddlePageOfFiles(database);
  ASSERT_GT(offset, intact.size() / 4) << "a page in the middle, not the first";
  ASSERT_LE(offset + page_size, intact.size());

  // Cut to half.
  trovix::testing::WriteFile(database, intact.substr(0, intact.size() / 2));
  EXPECT_EQ(Trovix({"stats"}, &output), 2) << output;
  EXPECT_NE(output.find("trovix: "), std::string::npos) << output;

  // A page in the middle overwritten with garbage: the numbers printed are
  // not the index's, and the status says so.
  std::string scrambled = intact;
  for (std::size_t i = offset; i < offset + page_size; ++i) {
    scrambled[i] = static_cast<char>(random());
  }
  trovix::testing::WriteFile(database, scrambled);
  EXPECT_EQ(Trovix({"stats"}, &output), 2) << output;
  EXPECT_NE(output.find("trovix: cannot "), std::string::npos) << output;
}

TEST_F(TrovixCliTest, SizesAreTheFilesTrueSizeAndTheCataloguedOneWhenTheFileIsGone) {
  const std::string big = docs_ + "/big.txt";
  trovix::testing::WriteFile(big, "");
  std::filesystem::resize_file(big, 5368709120);  // sparse: costs no disk
  trovix::testing::WriteFile(docs_ + "/small.txt", "twelve bytes");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  EXPECT_NE(output.find("1 skipped (1 too large)"), std::string::npos) << output;

  ASSERT_EQ(Trovix({"search", "--long"}, &output), 0) << output;
  EXPECT_NE(output.find("  5368709120  " + big + "\n"), std::string::npos) << output;
  ASSERT_EQ(Trovix({"search", "--json"}, &output), 0) << output;
  EXPECT_NE(output.find("{\"path\":\"" + big + "\",\"size\":5368709120,"), std::string::npos)
      << output;

  std::filesystem::remove(docs_ + "/small.txt");
  ASSERT_EQ(Trovix({"search", "--long", "twelve"}, &output), 0) << output;
  EXPECT_NE(output.find("  12  " + docs_ + "/small.txt"), std::string::npos) << output;
}

TEST_F(TrovixCliTest, HostileNamesArePrintedRawToPipesAndRecoverablyInJson) {
  const std::string control = docs_ + "/red\x1b[31m\nline.txt";
  const std::string latin = docs_ + "/caf\xe9.txt";  // not UTF-8
  trovix::testing::WriteFile(control, "hostile");
  trovix::testing::WriteFile(latin, "hostile");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;

  // Not a terminal: the raw names; with -0 they end in NUL and nothing else
  // is on stdout.
  ASSERT_EQ(Trovix({"search", "hostile"}, &output), 0);
  EXPECT_NE(output.find(latin + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find(control + "\n"), std::string::npos) << output;
  ASSERT_EQ(Shell(TrovixProgram() + " search -0 hostile 2>/dev/null", &output), 0);
  EXPECT_EQ(output, latin + std::string(1, '\0') + control + std::string(1, '\0'));
  EXPECT_EQ(Trovix({"search", "-0", "--json", "hostile"}, &output), 2);

  // JSON: U+FFFD in "path", the exact bytes in "path_bytes", only there.
  ASSERT_EQ(Shell(TrovixProgram() + " search --json hostile 2>/dev/null", &output), 0);
  std::istringstream lines(output);
  std::string latin_line, control_line;
  std::getline(lines, latin_line);
  std::getline(lines, control_line);
  EXPECT_NE(latin_line.find("\"path\":\"" + docs_ + "/caf\xef\xbf\xbd.txt\",\"path_bytes\":\""),
            std::string::npos)
      << latin_line;
  EXPECT_EQ(control_line.find("path_bytes"), std::string::npos) << control_line;
  EXPECT_NE(control_line.find("/red\\u001b[31m\\u000aline.txt\""), std::string::npos)
      << control_line;
  const std::size_t start = latin_line.find("\"path_bytes\":\"") + 14;
  const std::string encoded = latin_line.substr(start, latin_line.find('"', start) - start);
  ASSERT_EQ(Shell("printf %s '" + encoded + "' | base64 -d", &output), 0);
  EXPECT_EQ(output, latin) << "decoded by another program";
}

TEST(TerminalTextTest, ControlCharactersAndBadBytesCannotReachTheTerminal) {
  using trovix::cli::TerminalText;
  EXPECT_EQ(TerminalText(Utf8ToUtf16("/a/red\x1b[31mx")), "/a/red\\x1b[31mx");
  EXPECT_EQ(TerminalText(Utf8ToUtf16("two\nlines\tand\rback")), "two\\nlines\\tand\\rback");
  EXPECT_EQ(TerminalText(Utf8ToUtf16("back\\slash")), "back\\\\slash")
      << "escapes stay unambiguous";
  EXPECT_EQ(TerminalText(Utf8ToUtf16(std::string("nul\0del\x7f", 8))), "nul\\x00del\\x7f");
  EXPECT_EQ(TerminalText(u"c1\u009b31m\u0085"), "c1\\u009b31m\\u0085");
  EXPECT_EQ(TerminalText(Utf8ToUtf16("caf\xe9 \xff\xfe")), "caf\\xe9 \\xff\\xfe");
  EXPECT_EQ(TerminalText(Utf8ToUtf16("\xed\xa0\x80")), "\\xed\\xa0\\x80")
      << "an encoded surrogate is not UTF-8";
  const std::string fine = "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\x84.txt";
  EXPECT_EQ(TerminalText(Utf8ToUtf16(fine)), fine) << "letters of every script pass";
}

TEST(JsonTextTest, NamesThatAreNotUtf8StayValidJsonAndTheirBytesAreKept) {
  using trovix::cli::Base64;
  using trovix::cli::JsonString;
  EXPECT_EQ(JsonString(Utf8ToUtf16("a\"b\\c\x01")), "\"a\\\"b\\\\c\\u0001\"");
  EXPECT_EQ(JsonString(Utf8ToUtf16("x\xe9y")), "\"x\xef\xbf\xbdy\"");
  EXPECT_EQ(JsonString(u"\U0001F4C4"), "\"\xf0\x9f\x93\x84\"");
  EXPECT_FALSE(trovix::cli::NameIsUtf8(Utf8ToUtf16("x\xe9y")));
  EXPECT_TRUE(trovix::cli::NameIsUtf8(u"caf\u00e9 \U0001F4C4"));
  // RFC 4648's test vectors.
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST_F(TrovixCliTest, ConfigRoundTripsSettingsAndRefusesBadValuesWithoutWriting) {
  std::string output;
  ASSERT_EQ(Trovix({"config"}, &output), 0) << output;
  EXPECT_NE(output.find("scan-interval: 4320 minutes"), std::string::npos) << output;
  EXPECT_NE(output.find("index-hidden-folders: 0 (default)"), std::string::npos) << output;
  EXPECT_NE(output.find("skip-paths (default):\n  ~/.cache/\n"), std::string::npos) << output;
  EXPECT_NE(output.find("max-text-per-file: 16777216 characters (default)"), std::string::npos);

  EXPECT_EQ(Trovix({"config", "set", "scan-interval", "60"}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "set", "index-hidden-folders", "yes"}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "set", "night-end-hour", "6"}, &output), 0) << output;
  const std::string hive_before = trovix::testing::ReadFile(tree_.user_hive());
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"config", "set", "scan-interval", "0"},
        {"config", "set", "scan-interval", "12x"},
        {"config", "set", "scan-interval", "99999999999"},
        {"config", "set", "night-start-hour", "24"},
        {"config", "set", "index-hidden-folders", "2"},
        {"config", "set", "no-such-setting", "1"},
        {"config", "set", "roots", "/tmp"},
        {"config", "roots", "add", tree_.home() + "/missing"},
        {"config", "skip", "remove", "never-added/"},
        {"config", "skip", "add", ""}}) {
    EXPECT_EQ(Trovix(bad, &output), 2) << bad[2] << " " << bad[3];
    EXPECT_NE(output.find("trovix: "), std::string::npos) << output;
  }
  EXPECT_EQ(trovix::testing::ReadFile(tree_.user_hive()), hive_before);

  std::filesystem::create_directories(docs_);
  EXPECT_EQ(Trovix({"config", "roots", "add", docs_}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "skip", "add", "~/docs/private/"}, &output), 0) << output;
  ASSERT_EQ(Trovix({"config"}, &output), 0);
  EXPECT_NE(output.find("scan-interval: 60 minutes (default 4320)"), std::string::npos) << output;
  EXPECT_NE(output.find("index-hidden-folders: 1 (default 0)"), std::string::npos) << output;
  EXPECT_NE(output.find("night-end-hour: 6 (default 5)"), std::string::npos) << output;
  // The home folder stays a root beside the new one; the defaults stay
  // beside the new pattern.
  EXPECT_NE(output.find("roots:\n  " + tree_.home() + "\n  " + docs_ + "\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("  node_modules/\n"), std::string::npos) << output;
  EXPECT_NE(output.find("  ~/docs/private/\n"), std::string::npos) << output;

  EXPECT_EQ(Trovix({"config", "reset", "scan-interval"}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "skip", "remove", "~/docs/private/"}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "roots", "remove", tree_.home()}, &output), 0) << output;
  EXPECT_EQ(Trovix({"config", "roots", "remove", docs_}, &output), 2) << output;  // the last
  ASSERT_EQ(Trovix({"config"}, &output), 0);
  EXPECT_NE(output.find("scan-interval: 4320 minutes (default)"), std::string::npos) << output;
  EXPECT_EQ(output.find("~/docs/private/"), std::string::npos) << output;
  EXPECT_NE(output.find("roots:\n  " + docs_ + "\nskip"), std::string::npos) << output;
}

TEST_F(TrovixCliTest, IndexPassesOverSkippedFoldersUnlessNamedAndPrunesNewlySkippedOnes) {
  trovix::testing::WriteFile(docs_ + "/top.txt", "visible heron");
  trovix::testing::WriteFile(docs_ + "/app/node_modules/lib.txt", "vendored heron");
  trovix::testing::WriteFile(docs_ + "/.hidden/secret.txt", "hidden heron");
  trovix::testing::WriteFile(docs_ + "/build/out.txt", "built heron");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"search", "heron"}, &output), 0);
  EXPECT_EQ(Paths(output), (std::vector<std::string>{docs_ + "/build/out.txt", docs_ + "/top.txt"}))
      << output;

  // Named on the command line, a skipped folder is indexed.
  ASSERT_EQ(Trovix({"index", docs_ + "/app/node_modules"}, &output), 0) << output;
  ASSERT_EQ(Trovix({"search", "vendored"}, &output), 0);
  EXPECT_EQ(Paths(output), std::vector<std::string>{docs_ + "/app/node_modules/lib.txt"});

  // Skipped from now on: the next walk of the folder above takes them out.
  ASSERT_EQ(Trovix({"config", "skip", "add", "build/"}, &output), 0) << output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  ASSERT_EQ(Trovix({"search", "heron"}, &output), 0);
  EXPECT_EQ(Paths(output), std::vector<std::string>{docs_ + "/top.txt"}) << output;
}

// Paths up to PATH_MAX, of names in several scripts and one byte that is not
// UTF-8: indexed, found whole (also within a folder of their own), left
// alone when unchanged, and removed when gone.
TEST_F(TrovixCliTest, LongPathsAreIndexedFoundKeptAndRemoved) {
  std::vector<std::string> paths;
  for (const std::size_t length : {259, 260, 1000, 4000}) {
    paths.push_back(trovix::testing::MakeLongPathFile(docs_ + "/" + std::to_string(length), length,
                                                      ".txt", "abyssal " + std::to_string(length)));
  }
  paths.push_back(
      trovix::testing::MakeLongPathFile(docs_ + "/odd", 2000, ".md", "abyssal odd", true));
  const std::string deepest = paths[3];  // 4,000 bytes
  std::sort(paths.begin(), paths.end());
  const auto found = [](const std::string& output) {
    std::vector<std::string> got = Paths(output);
    std::sort(got.begin(), got.end());
    return got;
  };
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output.size();
  EXPECT_NE(output.find("5 indexed, 0 unchanged, 0 skipped"), std::string::npos) << output.size();
  ASSERT_EQ(Trovix({"search", "abyssal"}, &output), 0);
  EXPECT_TRUE(found(output) == paths) << Paths(output).size();
  const std::string deep = deepest.substr(0, deepest.rfind('/'));
  ASSERT_EQ(Trovix({"search", "in:" + deep, "abyssal"}, &output), 0);
  EXPECT_TRUE(found(output) == std::vector<std::string>{deepest}) << Paths(output).size();

  ASSERT_EQ(Trovix({"index", docs_}, &output), 0);
  EXPECT_NE(output.find("0 indexed, 5 unchanged"), std::string::npos) << output;
  trovix::testing::WriteFile(deepest, "changed hadal");
  ASSERT_EQ(Trovix({"index", deepest}, &output), 0);
  EXPECT_NE(output.find("1 indexed"), std::string::npos) << output;
  ASSERT_EQ(Trovix({"search", "hadal"}, &output), 0);
  EXPECT_TRUE(Paths(output) == std::vector<std::string>{deepest});

  std::filesystem::remove_all(docs_ + "/4000");
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0);
  EXPECT_NE(output.find("1 removed"), std::string::npos) << output;
  EXPECT_EQ(Trovix({"search", "hadal"}, &output), 1);
  EXPECT_TRUE(Paths(output).empty());
}

}  // namespace

// The faults users met: short words, numbers and names found; a query of
// nothing searchable refused rather than answered with every file; accents
// kept apart on request, by option or setting; names searched alone.
TEST_F(TrovixCliTest, ShortWordsNumbersNamesAndAccentsAreSearchedAsUsersExpect) {
  trovix::testing::WriteFile(docs_ + "/fr.txt", "Le café était très bon");
  trovix::testing::WriteFile(docs_ + "/plain.txt", "a cafe and ab 12");
  trovix::testing::WriteFile(docs_ + "/budget-2024.txt", "Invoice 47110815 about AI and Go");
  trovix::testing::WriteFile(docs_ + "/photo.rawx", "\xff\xd8 not text");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  const auto found = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"search"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = Trovix(argv, &output);
    std::set<std::string> names;
    for (const std::string& path : Paths(output)) names.insert(path.substr(path.rfind('/') + 1));
    EXPECT_EQ(status, names.empty() ? 1 : 0) << output;
    return names;
  };
  using Names = std::set<std::string>;
  EXPECT_EQ(found({"ab"}), Names{"plain.txt"});
  EXPECT_EQ(found({"12"}), Names{"plain.txt"});
  EXPECT_EQ(found({"AI"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"go"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"47110815"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"budget"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"2024"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"CAFÉ"}), (Names{"fr.txt", "plain.txt"}));
  EXPECT_EQ(found({"--exact-accents", "CAFÉ"}), Names{"fr.txt"});
  EXPECT_EQ(found({"--exact-accents", "cafe"}), Names{"plain.txt"});
  EXPECT_EQ(found({"--name-only", "budget"}), Names{"budget-2024.txt"});
  EXPECT_EQ(found({"--name-only", "invoice"}), Names{});
  EXPECT_EQ(found({"photo"}), Names{});  // no registered type: not catalogued by default

  for (const std::vector<std::string>& nothing :
       {std::vector<std::string>{"!!"}, {"x", "y"}, {"C++"}, {"--", "-?-"}}) {
    std::vector<std::string> argv = {"search"};
    argv.insert(argv.end(), nothing.begin(), nothing.end());
    EXPECT_EQ(Trovix(argv, &output), 2) << nothing[0];
    EXPECT_EQ(output, "trovix: no searchable words in the query\n") << nothing[0];
  }

  EXPECT_EQ(Trovix({"config", "set", "match-accents", "1"}, &output), 0) << output;
  EXPECT_EQ(found({"cafe"}), Names{"plain.txt"});
  EXPECT_EQ(Trovix({"config", "set", "index-all-file-names", "1"}, &output), 0) << output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  EXPECT_EQ(found({"photo"}), Names{"photo.rawx"});
  EXPECT_EQ(found({"text"}), Names{});  // catalogued by its name alone
  ASSERT_EQ(Trovix({"config"}, &output), 0);
  EXPECT_NE(output.find("match-accents: 1 (default 0)"), std::string::npos) << output;
  EXPECT_NE(output.find("index-all-file-names: 1 (default 0)"), std::string::npos) << output;
}

// The query language end to end: phrases in every format the filters read
// and in several scripts, OR, NOT and the filters, snippets that mark what
// matched, and malformed queries refused with their column.
TEST_F(TrovixCliTest, PhrasesFiltersAndSnippetsAgreeWithTheDocumentsText) {
  namespace fs = std::filesystem;
  for (const char* seed : {"pdf/two-pages.pdf", "odt/text.odt", "docx/letter.docx",
                           "eml/message.eml", "html/page.html"}) {
    const fs::path from = fs::path(TROVIX_SEED_DOCUMENTS) / seed;
    trovix::testing::WriteFile(docs_ + "/" + from.filename().string(),
                               trovix::testing::ReadFile(from));
  }
  trovix::testing::WriteFile(docs_ + "/a.txt", "The annual report for 2024 shows growth.");
  trovix::testing::WriteFile(docs_ + "/b.txt", "report of the annual meeting; a draft");
  trovix::testing::WriteFile(docs_ + "/fr.txt", "Le café était très bon, un café noir.");
  trovix::testing::WriteFile(docs_ + "/ja.txt", "東京都の天気は晴れです");
  trovix::testing::WriteFile(docs_ + "/big.log", std::string(300, 'x') + " forecast");
  // A title and the body after it are apart: no phrase runs from one into
  // the other.
  trovix::testing::WriteFile(docs_ + "/titled.html",
                             "<html><head><title>Indexes on expressions</title></head>"
                             "<body><p>Eleven ways to build them.</p></body></html>");
  std::string output;
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
  using Names = std::set<std::string>;
  const auto found = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"search"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = Trovix(argv, &output);
    Names names;
    for (const std::string& path : Paths(output)) names.insert(path.substr(path.rfind('/') + 1));
    EXPECT_EQ(status, names.empty() ? 1 : 0) << output;
    return names;
  };
  // Phrases: the words in order and next to each other, in every format.
  EXPECT_EQ(found({"\"annual report\""}), Names{"a.txt"});
  EXPECT_EQ(found({"\"report annual\""}), Names{});
  EXPECT_EQ(found({"\"second page\""}), Names{"two-pages.pdf"});
  EXPECT_EQ(found({"\"GRUSSE aus berlin\""}), Names{"text.odt"});
  EXPECT_EQ(found({"\"dear reader\""}), Names{"letter.docx"});
  EXPECT_EQ(found({"\"soft line break\""}), Names{"message.eml"});
  EXPECT_EQ(found({"\"cafe noir\""}), Names{"fr.txt"});
  EXPECT_EQ(found({"\"東京都\""}), Names{"ja.txt"});
  EXPECT_EQ(found({"\"都の天\""}), Names{"ja.txt"});
  EXPECT_EQ(found({"\"京東\""}), Names{});
  EXPECT_EQ(found({"\"on expressions\""}), Names{"titled.html"});
  EXPECT_EQ(found({"\"expressions eleven\""}), Names{});
  EXPECT_EQ(found({"expressions", "eleven"}), Names{"titled.html"});
  // OR, NOT, grouping; "-word" is a word the files must not hold, not an option.
  EXPECT_EQ(found({"annual", "-draft"}), Names{"a.txt"});
  EXPECT_EQ(found({"growth", "OR", "meeting"}), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(found({"(growth OR meeting) NOT draft"}), Names{"a.txt"});
  EXPECT_EQ(found({"-annual", "report"}), Names{});
  // Filters alone and with words.
  EXPECT_EQ(found({"ext:PDF"}), Names{"two-pages.pdf"});
  EXPECT_EQ(found({"type:document", "seed"}),
            (Names{"two-pages.pdf", "text.odt", "letter.docx", "page.html"}));
  EXPECT_EQ(found({"type:mail"}), Names{"message.eml"});
  EXPECT_EQ(found({"annual", "in:~/docs"}), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(found({"annual", "in:~/elsewhere"}), Names{});
  EXPECT_EQ(found({"annual", "modified:today"}), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(found({"annual", "modified:..2020"}), Names{});
  EXPECT_EQ(found({"forecast", "size:>200"}), Names{"big.log"});
  EXPECT_EQ(found({"size:<45", "annual"}), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(found({"name:fr"}), Names{"fr.txt"});

  // Snippets: plain lines under the path, the marked stretches in JSON
  // (character offsets) holding exactly the words matched.
  ASSERT_EQ(Trovix({"search", "--snippets", "\"annual report\""}, &output), 0) << output;
  EXPECT_NE(output.find(docs_ + "/a.txt\n    The annual report for 2024 shows growth.\n"),
            std::string::npos)
      << output;
  ASSERT_EQ(Trovix({"search", "--json", "café", "OR", "\"second page\""}, &output), 0) << output;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"fr.txt", "\"text\":\"Le café était très bon, un café noir.\",\"matches\":[[3,7],[27,31]]"},
      {"two-pages.pdf", "\"matches\":[[30,41],[42,46]]"}};
  for (const auto& [name, snippet] : expected) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line) && line.find("/" + name + "\"") == std::string::npos) {
    }
    EXPECT_NE(line.find(snippet), std::string::npos) << name << ": " << line;
  }
  ASSERT_EQ(Trovix({"search", "--json", "--snippets=0", "café"}, &output), 0) << output;
  EXPECT_EQ(output.find("snippet"), std::string::npos) << output;

  // Malformed queries: an error naming the column, nothing listed.
  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"annual", "\"report"}, "trovix: unclosed quote at column 8\n"},
           {{"(annual", "OR"}, "trovix: OR needs a word after it at column 9\n"},
           {{"type:movie"}, "trovix: unknown type \"movie\""},
           {{"size:>1X"}, "trovix: bad size \">1X\""}}) {
    std::vector<std::string> argv = {"search"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(Trovix(argv, &output), 2) << output;
    EXPECT_EQ(output.rfind(message, 0), 0u) << output;
    EXPECT_TRUE(Paths(output).empty()) << output;
  }
}
