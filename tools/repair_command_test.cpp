// trovix repair through the installed suite: real damaged files, a real
// process holding the database, then real indexing on what repair left.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>

#include "platform/sync.h"
#include "platform/testing/private_tree.h"

namespace {

using trovix::testing::ReadFile;
using trovix::testing::RunProcess;
using trovix::testing::WriteFile;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::set<std::string> FolderEntries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class RepairCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = tree_.root() + "/prefix";
    std::string output;
    ASSERT_EQ(trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, prefix_, &output), 0)
        << output;
    ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix-setup"}, &output), 0) << output;
    ASSERT_TRUE(std::filesystem::exists(Database()));
  }

  std::string Database() const { return tree_.data() + "/Quillon/Ordalis.mdb"; }

  int Trovix(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {prefix_ + "/bin/trovix"};
    argv.insert(argv.end(), args.begin(), args.end());
    output->clear();
    return RunProcess(argv, output);
  }

  // Fills the database with enough rows to span many pages.
  void Fill() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Database().c_str(), &db), SQLITE_OK);
    const char* sql = R"sql(
      WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
      INSERT INTO Words (Word) SELECT 'filler' || i || printf('%.40c', 'x') FROM n;)sql";
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
  }

  // Indexing and searching work on the database repair left.
  void ExpectIndexingWorks() {
    const std::string docs = tree_.home() + "/docs";
    WriteFile(docs + "/note.txt", "quarterly budget meeting");
    std::string output;
    ASSERT_EQ(Trovix({"index", docs}, &output), 0) << output;
    ASSERT_EQ(Trovix({"search", "budget"}, &output), 0) << output;
    EXPECT_NE(output.find(docs + "/note.txt"), std::string::npos) << output;
  }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
};

TEST_F(RepairCommandTest, AHealthyDatabaseIsLeftExactlyAsItWas) {
  Fill();
  const std::string bytes = ReadFile(Database());
  const std::set<std::string> entries = FolderEntries(tree_.data() + "/Quillon");
  std::string output;
  EXPECT_EQ(Trovix({"repair"}, &output), 0) << output;
  EXPECT_NE(output.find("is healthy; nothing to repair"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(Database()), bytes);
  EXPECT_EQ(FolderEntries(tree_.data() + "/Quillon"), entries);
}

TEST_F(RepairCommandTest, EachKindOfDamageIsKeptAsideAndIndexingWorksAfterwards) {
  Fill();
  const std::string good = ReadFile(Database());
  std::string scrambled = good;
  scrambled.replace(good.size() / 2, 4096, RandomBytes(4096, 7));
  const std::pair<const char*, std::string> cases[] = {
      {"truncated", good.substr(0, good.size() / 3)},
      {"scrambled middle pages", scrambled},
      {"zero length", ""},
      {"random bytes", RandomBytes(65536, 8)},
  };
  std::set<std::string> kept_names;
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    WriteFile(Database(), bytes);
    std::string output;
    ASSERT_EQ(Trovix({"repair"}, &output), 0) << output;
    EXPECT_NE(output.find("is damaged"), std::string::npos) << output;
    EXPECT_NE(output.find("trovix index DIR"), std::string::npos) << output;
    const std::string marker = "The old file is kept as ";
    const std::size_t at = output.find(marker);
    ASSERT_NE(at, std::string::npos) << output;
    const std::string kept =
        output.substr(at + marker.size(), output.find('\n', at) - at - marker.size());
    EXPECT_TRUE(kept.starts_with(Database() + ".damaged-")) << kept;
    EXPECT_EQ(ReadFile(kept), bytes);
    kept_names.insert(kept);
    ExpectIndexingWorks();
    EXPECT_EQ(Trovix({"repair"}, &output), 0) << output;
    EXPECT_NE(output.find("is healthy"), std::string::npos) << output;
  }
  EXPECT_EQ(kept_names.size(), 4u) << "every damaged file is kept under its own name";
}

TEST_F(RepairCommandTest, AMissingDatabaseIsCreated) {
  std::filesystem::remove(Database());
  std::string output;
  ASSERT_EQ(Trovix({"repair"}, &output), 0) << output;
  EXPECT_NE(output.find("There is no index database"), std::string::npos) << output;
  EXPECT_EQ(output.find("kept as"), std::string::npos) << output;
  ExpectIndexingWorks();
}

TEST_F(RepairCommandTest, ADatabaseInUseIsLeftAloneWithExitStatusTwo) {
  WriteFile(Database(), "damaged");
  {
    // Another program writing: repair waits for the write mutex, then gives up.
    NamedMutex writer("TrovixWriteMutex");
    ASSERT_EQ(writer.Wait(0), WAIT_OBJECT_0);
    std::string output;
    EXPECT_EQ(Trovix({"repair"}, &output), 2) << output;
    EXPECT_NE(output.find("busy"), std::string::npos) << output;
    writer.Release();
  }
  EXPECT_EQ(ReadFile(Database()), "damaged");

  // Another program holding the file under an exclusive engine lock.
  std::filesystem::remove(Database());
  std::string output;
  ASSERT_EQ(Trovix({"repair"}, &output), 0) << output;
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(release[1]);
    sqlite3* db = nullptr;
    sqlite3_open(Database().c_str(), &db);
    const bool ok = sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                                 nullptr, nullptr) == SQLITE_OK;
    static_cast<void>(write(ready[1], ok ? "y" : "n", 1));
    char byte;
    static_cast<void>(read(release[0], &byte, 1));
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  const std::string bytes = ReadFile(Database());
  const std::set<std::string> held_entries = FolderEntries(tree_.data() + "/Quillon");
  EXPECT_EQ(Trovix({"repair"}, &output), 2) << output;
  EXPECT_NE(output.find("nothing was changed"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(Database()), bytes);
  EXPECT_EQ(FolderEntries(tree_.data() + "/Quillon"), held_entries);
  close(release[1]);
  close(ready[0]);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace
