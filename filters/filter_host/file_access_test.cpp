// The helper's confinement, applied in a child process (it cannot be
// undone): files below the allowed folders open for reading, nothing else
// opens or is created, and a descriptor opened before still reads.
#include "filters/filter_host/file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/testing/private_tree.h"

namespace docfilter {
namespace {

// What the child saw, one bit per check that went as it should.
enum Check : int {
  kRestricted = 1,
  kAllowedOpens = 2,
  kOtherRefused = 4,
  kCreateRefused = 8,
  kOpenDescriptorReads = 16,
};

int Confined(const std::string& home, int open_before) {
  int seen = 0;
  if (RestrictFileAccess({"/usr"}) == FileAccess::kRestricted) seen |= kRestricted;
  const int allowed = open("/usr/bin/env", O_RDONLY | O_CLOEXEC);
  if (allowed >= 0) seen |= kAllowedOpens;
  const int other = open((home + "/secret.txt").c_str(), O_RDONLY | O_CLOEXEC);
  if (other < 0 && errno == EACCES) seen |= kOtherRefused;
  const int created = open((home + "/new.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (created < 0 && errno == EACCES) seen |= kCreateRefused;
  char byte = 0;
  if (pread(open_before, &byte, 1, 0) == 1 && byte == 't') seen |= kOpenDescriptorReads;
  return seen;
}

TEST(FileAccessTest, OnlyTheAllowedFoldersAndDescriptorsAlreadyOpenCanBeRead) {
  trovix::testing::PrivateTree tree;
  trovix::testing::WriteFile(tree.home() + "/secret.txt", "top secret");
  const int before = open((tree.home() + "/secret.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(before, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(Confined(tree.home(), before));
  close(before);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  const int seen = WEXITSTATUS(status);
  if ((seen & kRestricted) == 0) GTEST_SKIP() << "this kernel has no Landlock";
  EXPECT_TRUE(seen & kAllowedOpens);
  EXPECT_TRUE(seen & kOtherRefused);
  EXPECT_TRUE(seen & kCreateRefused);
  EXPECT_TRUE(seen & kOpenDescriptorReads);
  EXPECT_FALSE(std::filesystem::exists(tree.home() + "/new.txt"));
}

}  // namespace
}  // namespace docfilter
