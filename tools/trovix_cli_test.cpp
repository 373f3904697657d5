// The trovix command through the installed suite: real processes, a real
// index of real files in a private home, compared with an independent scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "platform/testing/private_tree.h"

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
  ASSERT_EQ(Trovix({"index", docs_}, &output), 0) << output;
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

}  // namespace
