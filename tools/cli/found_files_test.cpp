// The order `trovix search` prints names in, against a model: the UTF-16
// forms compared unit by unit, on names made of ASCII, characters beyond
// U+FFFF (whose UTF-16 sorts below U+E000..U+FFFF, unlike their UTF-8) and
// bytes that are not UTF-8.
#include "tools/cli/found_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/wstring.h"

namespace trovix::cli {
namespace {

// Pieces whose orders differ between UTF-8 bytes and UTF-16 units.
const std::vector<std::string> kPieces = {"a",
                                          "b",
                                          "A",
                                          "_",
                                          "~",
                                          "\xc3\xa9" /* é */,
                                          "\xee\x80\x80" /* U+E000 */,
                                          "\xef\xbf\xbd" /* U+FFFD */,
                                          "\xf0\x9f\x98\x80" /* U+1F600 */,
                                          "\xff",
                                          "\x80",
                                          "\xed\xa0\x80",
                                          "/"};

std::string RandomName(std::mt19937& random) {
  std::string name;
  for (int n = 1 + static_cast<int>(random() % 4); n > 0; --n) {
    name += kPieces[random() % (kPieces.size() - 1)];  // no "/" inside a name
  }
  return name;
}

TEST(FoundFilesTest, NamesSortAsTheirUtf16FormsThenPathsThenIdentifiers) {
  std::mt19937 random(7);
  const std::vector<std::string> folders = {"/h/", "/h/x/", "/h/\xc3\xa9/", "/h/\xff/",
                                            "/h/\xf0\x9f\x98\x80/"};
  FoundFiles found;
  struct Model {
    WString name;
    WString path;
    INT id;
  };
  std::vector<Model> model;
  for (INT id = 1; id <= 3000; ++id) {
    // Some names and paths repeat, so that the later keys decide.
    const std::string path = folders[random() % folders.size()] + RandomName(random);
    found.Add(id, path, {}, {}, 0);
    const WString wide = Utf8ToUtf16(path);
    model.push_back({wide.substr(wide.rfind(u'/') + 1), wide, id});
  }
  found.SortByName();
  std::sort(model.begin(), model.end(), [](const Model& a, const Model& b) {
    return std::tie(a.name, a.path, a.id) < std::tie(b.name, b.path, b.id);
  });
  ASSERT_EQ(found.files().size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) {
    const FoundFile& file = found.files()[i];
    ASSERT_EQ(file.id, model[i].id) << "at " << i;
    EXPECT_EQ(Utf8ToUtf16(found.Path(file)), model[i].path);
    EXPECT_EQ(found.WidePath(file), model[i].path);
    EXPECT_EQ(Utf8ToUtf16(found.Name(file)), model[i].name);
  }
}

TEST(FoundFilesTest, OneRowPerIdentifierKeepsTheFirstAndSortsByIdentifier) {
  FoundFiles found;
  found.Add(5, "/h/five", {}, {}, 5);
  found.Add(2, "/h/two", {}, {}, 2);
  found.Add(5, "/h/five again", {}, {}, 55);
  found.Add(9, "/h/nine", {}, {}, 9);
  found.KeepOnePerId();
  ASSERT_EQ(found.files().size(), 3u);
  EXPECT_EQ(found.files()[0].id, 2);
  EXPECT_EQ(found.files()[1].id, 5);
  EXPECT_EQ(found.Path(found.files()[1]), "/h/five");
  EXPECT_EQ(found.files()[1].size_lo32, 5u);
  EXPECT_EQ(found.files()[2].id, 9);
}

}  // namespace
}  // namespace trovix::cli
