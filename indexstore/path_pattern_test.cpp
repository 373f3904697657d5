// Path patterns: the cut into drive, directory and file parts, the expansion
// of environment variables and the normalised form.
#include "indexstore/path_pattern.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/hresult.h"
#include "platform/wstring.h"

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

}  // namespace
}  // namespace ordalis
