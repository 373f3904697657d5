#include "platform/file_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/filetime.h"
#include "platform/testing/private_tree.h"

namespace {

using trovix::testing::PrivateTree;
using trovix::testing::WriteFile;

std::int64_t UnitsOf(time_t seconds, long nanoseconds) {
  return kFileTimeUnixEpoch + seconds * 10'000'000LL + nanoseconds / 100;
}

TEST(ReadFileAttributes, TimesSizeAndKindOfWhatThePathNames) {
  PrivateTree tree;
  const std::string file = tree.root() + "/a.txt";
  WriteFile(file, std::string(5000, 'x'));
  const timespec times[2] = {{1'600'000'000, 123'456'789}, {1'500'000'000, 987'654'300}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(symlink(file.c_str(), (tree.root() + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((tree.root() + "/fifo").c_str(), 0600), 0);

  FileAttributes a{};
  ASSERT_EQ(ReadFileAttributes(tree.root() + "/link", &a), 0);  // the link is followed
  EXPECT_EQ(a.size, 5000u);
  EXPECT_TRUE(a.regular && !a.directory);
  EXPECT_EQ(FileTimeToInt64(a.last_access), UnitsOf(1'600'000'000, 123'456'700));
  EXPECT_EQ(FileTimeToInt64(a.last_write), UnitsOf(1'500'000'000, 987'654'300));
  // The birth time (now, after the back-dated write) where the file system
  // keeps one, else the write time itself.
  EXPECT_GE(FileTimeToInt64(a.creation), FileTimeToInt64(a.last_write));
  EXPECT_LE(FileTimeToInt64(a.creation), FileTimeToInt64(GetSystemTimeAsFileTime()));
  ASSERT_EQ(ReadFileAttributes(tree.root(), &a), 0);
  EXPECT_TRUE(a.directory && !a.regular);
  ASSERT_EQ(ReadFileAttributes(tree.root() + "/fifo", &a), 0);
  EXPECT_FALSE(a.directory || a.regular);
}

TEST(ReadFileAttributes, FailureLeavesTheOutputAlone) {
  PrivateTree tree;
  FileAttributes a{};
  a.size = 77;
  ASSERT_EQ(symlink("nowhere", (tree.root() + "/dangling").c_str()), 0);
  WriteFile(tree.root() + "/file", "x");
  EXPECT_EQ(ReadFileAttributes(tree.root() + "/missing", &a), ENOENT);
  EXPECT_EQ(ReadFileAttributes(tree.root() + "/dangling", &a), ENOENT);
  EXPECT_EQ(ReadFileAttributes(tree.root() + "/file/below", &a), ENOTDIR);
  EXPECT_EQ(a.size, 77u);
}

// The type of the mount at exactly `point`, from /proc/mounts (the code under
// test asks statfs instead).
std::string MountType(const std::string& point) {
  std::ifstream mounts("/proc/mounts");
  std::string device, mounted_at, type, rest;
  while (mounts >> device >> mounted_at >> type && std::getline(mounts, rest)) {
    if (mounted_at == point) return type;
  }
  return {};
}

TEST(DriveTypeOfPath, ClassifiesFileSystems) {
  PrivateTree tree;
  EXPECT_EQ(DriveTypeOfPath(tree.root() + "/missing"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(DriveTypeOfPath("/proc/self"), DRIVE_UNKNOWN);
  if (MountType("/sys") == "sysfs") {
    EXPECT_EQ(DriveTypeOfPath("/sys"), DRIVE_UNKNOWN);
  }
  if (MountType("/dev/shm") == "tmpfs") {
    EXPECT_EQ(DriveTypeOfPath("/dev/shm"), DRIVE_RAMDISK);
  }
  const UINT local = DriveTypeOfPath(tree.root());
  EXPECT_NE(local, DRIVE_UNKNOWN);
  EXPECT_NE(local, DRIVE_NO_ROOT_DIR);
}

}  // namespace
