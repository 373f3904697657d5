#include "platform/index_roots.h"

#include <gtest/gtest.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <filesystem>

#include "platform/file_info.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace {

using trovix::testing::PrivateTree;

constexpr std::u16string_view kKestine = u"Software\\Quillon\\Trovix\\Kestine";

void Configure(const std::vector<std::string>& roots) {
  RegKey key;
  ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, kKestine, &key), ERROR_SUCCESS);
  std::vector<WString> values;
  for (const std::string& root : roots) values.push_back(Utf8ToUtf16(root));
  ASSERT_EQ(key.SetMultiString(u"Index Roots", values), ERROR_SUCCESS);
}

std::vector<IndexRoot> Read() {
  std::vector<IndexRoot> roots;
  EXPECT_EQ(ReadIndexRoots(&roots), S_OK);
  return roots;
}

TEST(IndexRootsTest, DefaultIsTheHomeFolderWhileNothingIsConfigured) {
  PrivateTree tree;
  const std::string home = std::filesystem::canonical(tree.home()).string();
  const auto expect_home = [&](const char* situation) {
    const std::vector<IndexRoot> roots = Read();
    ASSERT_EQ(roots.size(), 1u) << situation;
    EXPECT_EQ(roots[0].path, home) << situation;
    EXPECT_EQ(roots[0].drive_type, DriveTypeOfPath(home)) << situation;
    EXPECT_NE(roots[0].drive_type, DRIVE_NO_ROOT_DIR) << situation;
  };
  expect_home("no hive");
  {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, kKestine, &key), ERROR_SUCCESS);
  }
  expect_home("key without the value");
  Configure({});
  expect_home("empty list");
}

TEST(IndexRootsTest, KeepsOrderCanonicalisesDropsRepeatsAndTypesMissingRoots) {
  PrivateTree tree;
  namespace fs = std::filesystem;
  const std::string base = fs::canonical(tree.home()).string();
  fs::create_directories(base + "/a");
  fs::create_directories(base + "/b");
  fs::create_directories(base +
                         "/bad\xff"
                         "name");
  fs::create_directory_symlink(base + "/b", base + "/link");
  trovix::testing::WriteFile(base + "/file.txt", "x");
  Configure({base + "/link/", base + "/a//", "/no/such/root", base + "/file.txt", "relative/dir",
             base + "/b/../a",
             base + "/bad\xff"
                    "name",
             "/proc"});

  const std::vector<IndexRoot> roots = Read();
  std::vector<std::string> paths;
  for (const IndexRoot& root : roots) paths.push_back(root.path);
  EXPECT_EQ(paths, (std::vector<std::string>{base + "/b", base + "/a", "/no/such/root",
                                             base + "/file.txt", "relative/dir",
                                             base + "/bad\xff"
                                                    "name",
                                             "/proc"}));
  ASSERT_EQ(roots.size(), 7u);
  EXPECT_EQ(roots[0].drive_type, DriveTypeOfPath(base));
  EXPECT_EQ(roots[1].drive_type, DriveTypeOfPath(base));
  EXPECT_EQ(roots[2].drive_type, DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(roots[3].drive_type, DRIVE_NO_ROOT_DIR) << "a file is no root";
  EXPECT_EQ(roots[4].drive_type, DRIVE_NO_ROOT_DIR) << "a relative root is never resolved";
  EXPECT_EQ(roots[5].drive_type, DriveTypeOfPath(base));
  EXPECT_EQ(roots[6].drive_type, DRIVE_UNKNOWN) << "proc is a pseudo file system";

  struct statfs shm {};
  if (statfs("/dev/shm", &shm) == 0 && shm.f_type == 0x01021994 /* tmpfs */) {
    Configure({"/dev/shm/"});
    EXPECT_EQ(Read().at(0).drive_type, DRIVE_RAMDISK);
  }
}

TEST(IndexRootsTest, DamagedHiveAndWrongTypeAreReportedNotReplacedByTheDefault) {
  PrivateTree tree;
  std::vector<IndexRoot> roots{{"/kept", DRIVE_FIXED}};
  {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, kKestine, &key), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"Index Roots", u"/home"), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadIndexRoots(&roots), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  trovix::testing::WriteFile(tree.user_hive(), "this is no hive\n[\n");
  EXPECT_EQ(ReadIndexRoots(&roots), HRESULT_FROM_WIN32(ERROR_BADDB));
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].path, "/kept");
}

}  // namespace
