// Path patterns: the cut into drive, directory and file parts, the expansion
// of environment variables, the normalised form, and the statement that
// finds the matching files.
#include "indexstore/path_pattern.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include "platform/hresult.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace ordalis {
namespace {

PatternParts Split(const WString& pattern) {
  PatternParts parts;
  EXPECT_EQ(SplitPathPattern(pattern.c_str(), &parts), S_OK) << Utf16ToUtf8(pattern);
  return parts;
}

WString Clean(const WString& pattern) { return CleanPathPattern(Split(pattern)); }

// Sets variables for one test and restores them after it.
class PathPatternTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_home_ = getenv("HOME") != nullptr ? getenv("HOME") : "";
    setenv("HOME", "/home/ann", 1);
    setenv("TROVIX_PATTERN_DIR", "/data/my docs", 1);
    unsetenv("TROVIX_PATTERN_UNSET");
  }
  void TearDown() override {
    setenv("HOME", saved_home_.c_str(), 1);
    unsetenv("TROVIX_PATTERN_DIR");
  }
  std::string saved_home_;
};

TEST_F(PathPatternTest, PatternsCutIntoDriveDirectoryAndFile) {
  const struct {
    const char16_t* pattern;
    const char16_t* drive;
    const char16_t* directory;
    const char16_t* file;
  } cases[] = {
      {u"/home/ann/docs/*.txt", u"/", u"home/ann/docs/", u"*.txt"},
      {u"*.txt", u"", u"", u"*.txt"},
      {u"/home/x/", u"/", u"home/x/", u""},
      {u"/", u"/", u"", u""},
      {u"/a.txt", u"/", u"", u"a.txt"},
      {u"docs/*.txt", u"", u"docs/", u"*.txt"},
      {u"\"/home/a b/c d.txt\"", u"/", u"home/a b/", u"c d.txt"},
      {u"/c:/x\\y", u"/", u"c:/", u"x\\y"},  // colon and backslash are name characters
      {u"//srv/share", u"/", u"/srv/", u"share"},
  };
  for (const auto& c : cases) {
    const PatternParts parts = Split(c.pattern);
    EXPECT_EQ(parts.drive, c.drive) << Utf16ToUtf8(c.pattern);
    EXPECT_EQ(parts.directory, c.directory) << Utf16ToUtf8(c.pattern);
    EXPECT_EQ(parts.file, c.file) << Utf16ToUtf8(c.pattern);
  }
}

TEST_F(PathPatternTest, VariablesExpandInEveryFormAndUnknownNamesStay) {
  EXPECT_EQ(Clean(u"$HOME/*.txt"), u"/home/ann/*.txt");
  EXPECT_EQ(Clean(u"${HOME}/notes/"), u"/home/ann/notes/*");
  EXPECT_EQ(Clean(u"%HOME%/a.txt"), u"/home/ann/a.txt");
  EXPECT_EQ(Clean(u"~"), u"/home/ann");
  EXPECT_EQ(Clean(u"~/x/"), u"/home/ann/x/*");
  EXPECT_EQ(Clean(u"\"~/my docs/\""), u"/home/ann/my docs/*");
  EXPECT_EQ(Clean(u"\"$TROVIX_PATTERN_DIR/*.odt\""), u"/data/my docs/*.odt");
  // Only a leading "~" alone or before "/" is the home folder.
  EXPECT_EQ(Clean(u"/a/~/b~"), u"/a/~/b~");
  EXPECT_EQ(Clean(u"~ann/x"), u"~ann/x");
  // Unknown names, lone signs and unclosed references stay as written.
  EXPECT_EQ(Clean(u"/$TROVIX_PATTERN_UNSET/${TROVIX_PATTERN_UNSET}/%TROVIX_PATTERN_UNSET%"),
            u"/$TROVIX_PATTERN_UNSET/${TROVIX_PATTERN_UNSET}/%TROVIX_PATTERN_UNSET%");
  EXPECT_EQ(Clean(u"/50%/$/${HOME/a$1"), u"/50%/$/${HOME/a$1");
  // A "%" of an unknown name may close on the next reference.
  EXPECT_EQ(Clean(u"%TROVIX_PATTERN_UNSET%HOME%"), u"%TROVIX_PATTERN_UNSET/home/ann");
  // One pass: a value is not expanded again.
  setenv("TROVIX_PATTERN_DIR", "$HOME", 1);
  EXPECT_EQ(Clean(u"/x/$TROVIX_PATTERN_DIR"), u"/x/$HOME");
}

TEST_F(PathPatternTest, NullAndOverLongPatternsAreRefused) {
  PatternParts parts;
  parts.file = u"kept";
  EXPECT_EQ(SplitPathPattern(nullptr, &parts), E_INVALIDARG);
  const WString longest = u"/" + WString(kMaxPatternUnits - 1, u'a');
  EXPECT_EQ(SplitPathPattern(longest.c_str(), &parts), S_OK);
  EXPECT_EQ(parts.file.size(), kMaxPatternUnits - 1);
  parts.file = u"kept";
  EXPECT_EQ(SplitPathPattern((longest + u"a").c_str(), &parts), E_INVALIDARG);
  // The limit holds after expansion.
  const WString grows = u"${HOME}" + WString(kMaxPatternUnits - 7, u'a');
  EXPECT_EQ(SplitPathPattern(grows.c_str(), &parts), E_INVALIDARG);
  EXPECT_EQ(parts.file, u"kept");
}

// A catalogue with the real schema, filled directly with SQL: two folders
// below /home/ann, one below /srv, and rows the joins must leave out (a file
// whose folder row is gone, a folder whose drive row is gone).
class PathPatternQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = tree_.data() + "/patterns.db";
    ASSERT_EQ(trovix::CreateDatabase(path), S_OK);
    ASSERT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_,
                           "INSERT INTO Drives VALUES (1, 3, '/');"
                           "INSERT INTO Directories VALUES (1, 'home/ann/d1/', 1),"
                           " (2, 'home/ann/d2/', 1), (3, 'srv/d1/', 1), (4, 'lost/', 9);"
                           "INSERT INTO Files (FileID, DirectoryID, Name) VALUES"
                           " (1, 2, 'b.pdf'), (2, 1, 'a.txt'), (3, 3, 'c.pdf'), (4, 1, 'd.pdf'),"
                           " (5, 4, 'e.pdf'), (6, 7, 'f.pdf'), (7, 2, 'g.txt')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db_);
  }
  void TearDown() override { sqlite3_close(db_); }

  // Runs the pattern's statement (or, with `explain`, its plan) and answers
  // its rows: the identifiers, or the plan's lines.
  std::vector<std::string> Run(const WString& pattern, bool explain = false) {
    PatternParts parts;
    EXPECT_EQ(SplitPathPattern(pattern.c_str(), &parts), S_OK);
    std::vector<WString> patterns;
    const std::string sql =
        (explain ? "explain query plan " : "") + PathPatternQuery(parts, &patterns);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      const std::string text = Utf16ToUtf8(patterns[i]);
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), text.c_str(), -1, SQLITE_TRANSIENT);
    }
    std::vector<std::string> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, explain ? 3 : 0)));
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  std::string Plan(const WString& pattern) {
    std::string plan;
    for (const std::string& line : Run(pattern, /*explain=*/true)) plan += line + "\n";
    return plan;
  }

  trovix::testing::PrivateTree tree_;
  sqlite3* db_ = nullptr;
};

TEST_F(PathPatternQueryTest, EachFormSelectsTheCataloguedFilesOfEveryPartAscending) {
  using Rows = std::vector<std::string>;
  EXPECT_EQ(Run(u"*"), (Rows{"1", "2", "3", "4", "7"}));
  EXPECT_EQ(Run(u"*.pdf"), (Rows{"1", "3", "4"}));
  EXPECT_EQ(Run(u"/home/ann/"), (Rows{}));
  EXPECT_EQ(Run(u"/home/ann/*/"), (Rows{"1", "2", "4", "7"}));
  EXPECT_EQ(Run(u"/home/ann/*/*.pdf"), (Rows{"1", "4"}));
  EXPECT_EQ(Run(u"/*/d1/*.pdf"), (Rows{"3", "4"}));
  EXPECT_EQ(Run(u"home/ann/d1/"), (Rows{"2", "4"}));
  EXPECT_EQ(Run(u"/lost/"), (Rows{}));
}

// A folder pattern reads the files of the matching folders through their
// index instead of every file; a pattern without one reads every file in
// identifier order and needs no sort.
TEST_F(PathPatternQueryTest, AFolderPartReadsOnlyTheFilesOfTheMatchingFolders) {
  for (const char16_t* pattern : {u"/home/ann/d1*/", u"/home/*/*.pdf", u"srv/"}) {
    const std::string plan = Plan(pattern);
    EXPECT_NE(plan.find("FilesByDirectoryAndName (DirectoryID=?)"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN files"), std::string::npos) << plan;
  }
  for (const char16_t* pattern : {u"*", u"/*.pdf"}) {
    const std::string plan = Plan(pattern);
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  }
}

}  // namespace
}  // namespace ordalis
