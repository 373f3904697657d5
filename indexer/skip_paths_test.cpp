// The skip rules' matching, the pause's duration syntax and the status
// encoding the indexer hands to `trovix status`.
#include "indexer/skip_paths.h"

#include <gtest/gtest.h>

#include "indexer/indexer_status.h"
#include "indexer/pause_setting.h"
#include "platform/testing/private_tree.h"

namespace trovix::indexer {
namespace {

class SkipRulesTest : public ::testing::Test {
 protected:
  trovix::testing::PrivateTree tree_;
  std::string home_ = tree_.home();
};

TEST_F(SkipRulesTest, DefaultListSkipsCachesTrashAndToolFoldersAnywhere) {
  const SkipRules rules(DefaultSkipPatterns(), /*index_hidden=*/false, {});
  EXPECT_TRUE(rules.Skips(home_ + "/.cache", /*folder=*/true));
  EXPECT_TRUE(rules.Skips(home_ + "/.local/share/Trash", true));
  EXPECT_TRUE(rules.Skips(home_ + "/src/app/node_modules", true));
  EXPECT_TRUE(rules.Skips("/srv/x/__pycache__", true));
  // A file of that name is not a folder: folder patterns leave it alone.
  EXPECT_FALSE(rules.Skips(home_ + "/notes/node_modules", /*folder=*/false));
  EXPECT_FALSE(rules.Skips(home_ + "/src/node_modules_old", true));
  EXPECT_FALSE(rules.Skips(home_ + "/docs", true));
}

TEST_F(SkipRulesTest, HiddenFoldersAreSkippedUnlessAskedForButVersionControlStaysOut) {
  const SkipRules hidden_off(DefaultSkipPatterns(), /*index_hidden=*/false, {});
  EXPECT_TRUE(hidden_off.Skips(home_ + "/.thunderbird", true));
  EXPECT_FALSE(hidden_off.Skips(home_ + "/.profile", /*folder=*/false));  // files are not
  const SkipRules hidden_on(DefaultSkipPatterns(), /*index_hidden=*/true, {});
  EXPECT_FALSE(hidden_on.Skips(home_ + "/.thunderbird", true));
  EXPECT_TRUE(hidden_on.Skips(home_ + "/src/.git", true));
  EXPECT_TRUE(hidden_on.Skips(home_ + "/src/.svn", true));
  EXPECT_TRUE(hidden_on.Skips(home_ + "/.cache", true));
}

TEST_F(SkipRulesTest, PatternsExpandHomeAndVariablesAndStarStaysWithinOneName) {
  setenv("SKIPTEST_DIR", "scratch", 1);
  const SkipRules rules(
      {"~/Downloads/", "$HOME/tmp*/", "/data/${SKIPTEST_DIR}/", "*.log", "build/out/"},
      /*index_hidden=*/true, {});
  EXPECT_TRUE(rules.Skips(home_ + "/Downloads", true));
  EXPECT_FALSE(rules.Skips(home_ + "/work/Downloads", true));  // anchored at home
  EXPECT_TRUE(rules.Skips(home_ + "/tmp-old", true));
  EXPECT_FALSE(rules.Skips(home_ + "/x/tmp-old", true));  // "*" does not cross "/"
  EXPECT_TRUE(rules.Skips("/data/scratch", true));
  EXPECT_TRUE(rules.Skips(home_ + "/a/server.log", /*folder=*/false));
  EXPECT_TRUE(rules.Skips(home_ + "/p/build/out", true));
  EXPECT_FALSE(rules.Skips(home_ + "/p/out", true));
  unsetenv("SKIPTEST_DIR");
}

TEST_F(SkipRulesTest, SkipsBelowTestsEveryFolderUnderTheTopButNeverTheTopItself) {
  const SkipRules rules({"node_modules/"}, /*index_hidden=*/false, {home_ + "/own"});
  const std::string top = home_ + "/node_modules";
  // Named (or a root): indexed whatever the rules say.
  EXPECT_FALSE(rules.SkipsBelow(top, top + "/a.txt", /*folder=*/false));
  EXPECT_TRUE(rules.SkipsBelow(home_, top + "/a.txt", false));
  EXPECT_TRUE(rules.SkipsBelow(home_, home_ + "/x/.hidden/y/a.txt", false));
  EXPECT_TRUE(rules.SkipsBelow(home_, home_ + "/own/Ordalis.mdb", false));
  EXPECT_FALSE(rules.SkipsBelow(home_, home_ + "/owner/a.txt", false));
  EXPECT_FALSE(rules.SkipsBelow("/", "/etc/a.txt", false));
}

TEST_F(SkipRulesTest, RegistryRulesFallBackToTheDefaultsAndAlwaysSkipTheDatabaseFolder) {
  SkipRules rules = SkipRules::FromRegistry();
  EXPECT_TRUE(rules.Skips(home_ + "/.cache", true));
  EXPECT_TRUE(rules.Skips(tree_.data() + "/Quillon", true));
  EXPECT_TRUE(rules.Skips(tree_.state() + "/Quillon", true));
  ASSERT_TRUE(KestineKey::Global().Write(kestine::kIndexHiddenFolders, 1));
  rules = SkipRules::FromRegistry();
  EXPECT_FALSE(rules.Skips(home_ + "/.thunderbird", true));
  EXPECT_TRUE(rules.Skips(tree_.data() + "/Quillon", true));
}

TEST(PauseDurationTest, UnitsAddUpAndMalformedOrEmptyDurationsAreRefused) {
  EXPECT_EQ(ParseDuration("30m"), 1800);
  EXPECT_EQ(ParseDuration("2h"), 7200);
  EXPECT_EQ(ParseDuration("1h30m"), 5400);
  EXPECT_EQ(ParseDuration("45"), 2700);  // bare minutes
  EXPECT_EQ(ParseDuration("1d"), 86400);
  for (const char* bad : {"", "0m", "m", "2x", "1h30", "-5m", "9999d", "30 m"}) {
    EXPECT_FALSE(ParseDuration(bad).has_value()) << bad;
  }
}

TEST(PauseSettingTest, APauseIsReadBackUntilItsEndPasses) {
  trovix::testing::PrivateTree tree;
  EXPECT_FALSE(ReadPause(1000).paused);
  ASSERT_TRUE(WritePause({true, 5000}));
  EXPECT_TRUE(ReadPause(4999).paused);
  EXPECT_EQ(ReadPause(4999).ends, 5000);
  EXPECT_FALSE(ReadPause(5000).paused);
  ASSERT_TRUE(WritePause({true, std::nullopt}));
  EXPECT_TRUE(ReadPause(1 << 30).paused);
  EXPECT_FALSE(ReadPause(1 << 30).ends.has_value());
  ASSERT_TRUE(WritePause({}));
  EXPECT_FALSE(ReadPause(0).paused);
}

TEST(IndexerStatusTest, EncodedStatusDecodesToTheSameAndGarbageIsRefused) {
  IndexerStatus status;
  status.pid = 42;
  status.paused = true;
  status.pause_ends = 1700000000;
  status.backlog = 7;
  status.settling = 2;
  status.applied = std::uint64_t{1} << 40;
  status.scans = {{"/home/a b", 12}, {"/srv/x=y", 0}};
  IndexerStatus back;
  ASSERT_TRUE(IndexerStatus::Decode(status.Encode(), &back));
  EXPECT_EQ(back.pid, 42);
  EXPECT_TRUE(back.paused);
  EXPECT_EQ(back.pause_ends, 1700000000);
  EXPECT_EQ(back.backlog, 7u);
  EXPECT_EQ(back.settling, 2u);
  EXPECT_EQ(back.applied, std::uint64_t{1} << 40);
  EXPECT_EQ(back.scans, status.scans);
  EXPECT_FALSE(back.on_battery);
  EXPECT_EQ(back.Activity(), "paused");
  back.paused = false;
  EXPECT_EQ(back.Activity(), "scanning");
  // The battery's pause is its own, and pauses as much.
  status.paused = false;
  status.on_battery = true;
  ASSERT_TRUE(IndexerStatus::Decode(status.Encode(), &back));
  EXPECT_FALSE(back.paused);
  EXPECT_TRUE(back.on_battery);
  EXPECT_EQ(back.Activity(), "paused");
  back.on_battery = false;
  back.scans.clear();
  EXPECT_EQ(back.Activity(), "applying");
  for (const char* bad : {"", "paused=1\n", "pid=x\n", "pid=1", "pid=1\nscan=7\n"}) {
    EXPECT_FALSE(IndexerStatus::Decode(bad, &back)) << bad;
  }
}

}  // namespace
}  // namespace trovix::indexer
