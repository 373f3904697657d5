#include "indexstore/path_split.h"

#include <gtest/gtest.h>

namespace ordalis {
namespace {

struct Case {
  std::u16string_view path, drive, directory, file;
};

TEST(SplitPath, CutsDriveDirectoryAndName) {
  const Case cases[] = {
      {u"/home/ann/docs/a.txt", u"/", u"home/ann/docs/", u"a.txt"},
      {u"/a.txt", u"/", u"", u"a.txt"},
      {u"/home/ann/docs/", u"/", u"home/ann/", u"docs/"},  // a trailing slash stays
      {u"/c:/x:y", u"/", u"c:/", u"x:y"},                  // colons are ordinary
      {u"/a\\b/c\\d", u"/", u"a\\b/", u"c\\d"},            // so are backslashes
      {u"/a//b", u"/", u"a//", u"b"},                      // nothing is normalised
      {u"//srv/share/a", u"//", u"srv/share/", u"a"},
      // A supplementary character and lone surrogates (bytes of names that
      // are not UTF-8) are units like any other.
      {u"/zo\u00eb/\U0001F600/\xDCFF.txt", u"/", u"zo\u00eb/\U0001F600/", u"\xDCFF.txt"},
  };
  for (const Case& c : cases) {
    PathParts parts;
    ASSERT_TRUE(SplitPath(c.path, &parts)) << "case " << (&c - cases);
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.file, c.file);
  }
  PathParts kept{u"d", u"e/", u"f"};
  for (std::u16string_view path : {u"", u"a.txt", u"rel/a.txt", u"C:\\a", u"/", u"//", u"///"}) {
    EXPECT_FALSE(SplitPath(path, &kept));
  }
  EXPECT_EQ(kept.drive + kept.directory + kept.file, u"de/f");
}

TEST(SplitDirectoryPath, NamesTheDirectoryWithOneTrailingSlash) {
  const Case cases[] = {
      {u"/home/ann/docs", u"/", u"home/ann/docs/", u""},
      {u"/home/ann/docs/", u"/", u"home/ann/docs/", u""},
      {u"/", u"/", u"", u""},
      {u"/a//", u"/", u"a//", u""},
      {u"/\u00e9t\u00e9/\xDCFF", u"/", u"\u00e9t\u00e9/\xDCFF/", u""},
  };
  for (const Case& c : cases) {
    PathParts parts{u"", u"", u"stale"};
    ASSERT_TRUE(SplitDirectoryPath(c.path, &parts));
    EXPECT_EQ(parts.drive, c.drive);
    EXPECT_EQ(parts.directory, c.directory);
    EXPECT_EQ(parts.file, u"");
  }
  PathParts parts;
  EXPECT_FALSE(SplitDirectoryPath(u"", &parts));
  EXPECT_FALSE(SplitDirectoryPath(u"home/ann", &parts));
}

}  // namespace
}  // namespace ordalis
