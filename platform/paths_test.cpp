#include "platform/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "platform/testing/private_tree.h"

namespace {

using trovix::testing::PrivateTree;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(PathsTest, XdgDefaultsLieUnderHome) {
  PrivateTree tree;
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) unsetenv(name);
  EXPECT_EQ(ConfigHome(), tree.home() + "/.config");
  EXPECT_EQ(DataHome(), tree.home() + "/.local/share");
  EXPECT_EQ(StateHome(), tree.home() + "/.local/state");
  EXPECT_EQ(SuiteStateDir(), tree.home() + "/.local/state/Quillon");

  setenv("HOME", "/", 1);  // no doubled slash below the root
  EXPECT_EQ(ConfigHome(), "/.config");
}

TEST(PathsTest, AbsoluteXdgValuesWinAndOthersAreIgnored) {
  PrivateTree tree;
  EXPECT_EQ(SuiteConfigDir(), tree.config() + "/Quillon");
  EXPECT_EQ(SuiteDataDir(), tree.data() + "/Quillon");
  EXPECT_EQ(SuiteStateDir(), tree.state() + "/Quillon");

  setenv("XDG_DATA_HOME", (tree.data() + "//").c_str(), 1);
  EXPECT_EQ(SuiteDataDir(), tree.data() + "/Quillon");
  setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(DataHome(), tree.home() + "/.local/share");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(DataHome(), tree.home() + "/.local/share");
}

TEST(PathsTest, AccountHomeStandsInForAMissingOrRelativeHome) {
  PrivateTree tree;
  unsetenv("XDG_CONFIG_HOME");
  const passwd* account = getpwuid(getuid());
  ASSERT_NE(account, nullptr);
  std::string expected = account->pw_dir;
  while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
  expected = (expected == "/" ? "" : expected) + "/.config";
  unsetenv("HOME");
  EXPECT_EQ(ConfigHome(), expected);
  setenv("HOME", "relative/home", 1);
  EXPECT_EQ(ConfigHome(), expected);
}

TEST(MakePrivateDirsTest, CreatesPrivateFoldersAndLeavesExistingOnes) {
  PrivateTree tree;
  const std::string base = tree.root() + "/open";
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  ASSERT_EQ(chmod(base.c_str(), 0755), 0);  // whatever the umask made of it
  ASSERT_EQ(MakePrivateDirs(base + "/a//b/c/"), 0);
  EXPECT_EQ(ModeOf(base), 0755u);
  for (const char* created : {"/a", "/a/b", "/a/b/c"}) EXPECT_EQ(ModeOf(base + created), 0700u);
  EXPECT_EQ(MakePrivateDirs(base + "/a/b/c"), 0);  // already there

  WriteFile(base + "/file", "x");
  EXPECT_EQ(MakePrivateDirs(base + "/file"), ENOTDIR);
  EXPECT_EQ(MakePrivateDirs(base + "/file/below"), ENOTDIR);
  EXPECT_EQ(MakePrivateDirs(""), ENOENT);
}

TEST(WriteFileAtomicallyTest, ReplacesContentWithAPrivateFile) {
  PrivateTree tree;
  const std::string path = tree.state() + "/tasklist.bin";
  WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const std::string bytes("new\0bytes", 9);
  ASSERT_EQ(WriteFileAtomically(path, bytes), 0);
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(NamesIn(tree.state()), std::set<std::string>{"tasklist.bin"});
}

TEST(WriteFileAtomicallyTest, FailureKeepsOldContentAndLeavesNoTemporaryFile) {
  PrivateTree tree;
  const std::string folder = tree.state();
  const std::string path = folder + "/tasklist.bin";
  WriteFile(path, "old");
  WriteFile(folder + "/taken/keep", "kept");

  // The target is a folder: found only at the rename, after the write.
  EXPECT_EQ(WriteFileAtomically(folder + "/taken", "new"), EISDIR);
  EXPECT_EQ(ReadFile(folder + "/taken/keep"), "kept");
  EXPECT_EQ(WriteFileAtomically(folder + "/missing/file", "new"), ENOENT);

  // A file size limit fails the write half way, even for root. In a child,
  // so that the limit and the ignored signal stay there.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 16;
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(WriteFileAtomically(path, std::string(4096, 'n')) == EFBIG ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(NamesIn(folder), (std::set<std::string>{"tasklist.bin", "taken"}));
}

TEST(FolderOfAddressTest, NamesTheFolderOfTheProgramOrLibrary) {
  PrivateTree tree;
  const std::string program = std::filesystem::canonical("/proc/self/exe").string();
  static const int in_program = 0;
  EXPECT_EQ(FolderOfAddress(&in_program), program.substr(0, program.rfind('/') + 1));

  const std::string library_folder = FolderOfAddress(reinterpret_cast<const void*>(&ConfigHome));
  ASSERT_FALSE(library_folder.empty());
  EXPECT_EQ(library_folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(library_folder + "libtrovix-platform.so")) << library_folder;

  int on_stack = 0;
  EXPECT_EQ(FolderOfAddress(&on_stack), "");
  EXPECT_EQ(FolderOfAddress(nullptr), "");
}

}  // namespace
