#include "platform/change_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>

#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace trovix {
namespace {

namespace fs = std::filesystem;
using testing::PrivateTree;
using testing::WriteFile;

constexpr auto kDeadline = std::chrono::seconds(20);

class ChangeSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tree_.home() + "/watched";
    outside_ = tree_.home() + "/outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
  }

  // Starts watching the tree as it is now, leaving out what `skip` names.
  void StartSource(ChangeSource::Skip skip = {}) {
    source_ = std::make_unique<ChangeSource>(
        root_, [this](const std::string& line) { log_.push_back(line); }, std::move(skip));
    ASSERT_EQ(source_->Start(), 0);
  }

  // Reads batches until `done` holds or the deadline passes; false on the
  // deadline. Records and flags accumulate across calls.
  bool CollectUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ChangeBatch batch = source_->WaitForChanges(100);
      overflow_ = overflow_ || batch.overflow;
      root_gone_ = root_gone_ || batch.root_gone;
      for (ChangeRecord& record : batch.records) records_.push_back(std::move(record));
    }
    return true;
  }

  bool Seen(DWORD action, const std::string& relative) const {
    return IndexOf(action, relative) < records_.size();
  }
  bool SeenUnder(const std::string& prefix) const {
    const WString wanted = Utf8ToUtf16(prefix);
    return std::any_of(records_.begin(), records_.end(),
                       [&](const ChangeRecord& r) { return r.path.starts_with(wanted); });
  }
  // Position of the first matching record, records_.size() when none.
  std::size_t IndexOf(DWORD action, const std::string& relative) const {
    const WString path = Utf8ToUtf16(relative);
    for (std::size_t i = 0; i < records_.size(); ++i) {
      if (records_[i].action == action && records_[i].path == path) return i;
    }
    return records_.size();
  }

  // Writes a marker file and reads until its creation is seen: every change
  // made before it has been read by then.
  void Barrier() {
    const std::string name = "marker-" + std::to_string(++markers_) + ".txt";
    WriteFile(At(name), "m");
    ASSERT_TRUE(CollectUntil([&] { return Seen(1, name); })) << name;
  }

  std::string At(const std::string& relative) const { return root_ + "/" + relative; }

  PrivateTree tree_;  // first, so that it outlives the source
  std::string root_;
  std::string outside_;
  std::unique_ptr<ChangeSource> source_;
  std::vector<ChangeRecord> records_;
  std::vector<std::string> log_;
  bool overflow_ = false;
  bool root_gone_ = false;
  int markers_ = 0;
};

TEST_F(ChangeSourceTest, FileChangesInRootAndInDirectoriesThatExistedAtStart) {
  fs::create_directories(At("sub/deeper"));
  WriteFile(At("sub/deeper/c.txt"), "c");
  StartSource();

  WriteFile(At("a.txt"), "a");
  ASSERT_EQ(chmod(At("a.txt").c_str(), 0600), 0);
  fs::rename(At("a.txt"), At("b.txt"));
  fs::remove(At("b.txt"));
  WriteFile(At("sub/deeper/c.txt"), "changed");
  fs::create_directory(At("sub/empty"));
  fs::remove(At("sub/empty"));

  ASSERT_TRUE(CollectUntil([&] { return Seen(2, "sub/empty"); }));
  EXPECT_LT(IndexOf(1, "a.txt"), IndexOf(3, "a.txt"));
  EXPECT_LT(IndexOf(3, "a.txt"), IndexOf(4, "a.txt"));
  EXPECT_LT(IndexOf(4, "a.txt"), IndexOf(5, "b.txt"));
  EXPECT_LT(IndexOf(5, "b.txt"), IndexOf(2, "b.txt"));
  EXPECT_TRUE(Seen(3, "sub/deeper/c.txt"));
  EXPECT_TRUE(records_.at(IndexOf(1, "sub/empty")).directory);
  EXPECT_FALSE(overflow_ || !log_.empty());
}

// Files made between a mkdir and the watch on the new directory raise no
// event; the listing after the watch must report them.
TEST_F(ChangeSourceTest, FilesMadeRightAfterMkdirAreReportedAtEveryDepth) {
  StartSource();
  std::vector<std::string> files;
  for (int i = 0; i < 30; ++i) {
    const std::string dir = "n" + std::to_string(i) + "/a/b/c";
    fs::create_directories(At(dir));
    for (const std::string& d : {"n" + std::to_string(i), dir}) {
      files.push_back(d + "/f.txt");
      WriteFile(At(files.back()), "x");
    }
  }
  ASSERT_TRUE(CollectUntil([&] {
    return std::all_of(files.begin(), files.end(), [&](const auto& f) { return Seen(1, f); });
  }));

  // The new directories are watched, not just listed.
  WriteFile(At("n29/a/b/c/f.txt"), "again");
  WriteFile(At("n29/a/b/c/g.txt"), "new");
  ASSERT_TRUE(
      CollectUntil([&] { return Seen(3, "n29/a/b/c/f.txt") && Seen(1, "n29/a/b/c/g.txt"); }));
  EXPECT_EQ(source_->watch_count(), 1u + 30 * 4);
}

TEST_F(ChangeSourceTest, RenamedDirectoryTakesItsSubtreeAlong) {
  fs::create_directories(At("old/inner"));
  fs::create_directories(At("old-x"));  // sorts between "old" and "old/": must stay put
  WriteFile(At("old/g.txt"), "g");
  WriteFile(At("old/inner/f.txt"), "f");
  WriteFile(At("old-x/h.txt"), "h");
  StartSource();

  fs::rename(At("old"), At("new"));
  ASSERT_TRUE(CollectUntil([&] { return Seen(5, "new/inner/f.txt"); }));
  EXPECT_TRUE(Seen(4, "old") && Seen(5, "new"));
  // Every file under the directory, as if renamed one by one.
  EXPECT_TRUE(Seen(4, "old/g.txt") && Seen(5, "new/g.txt"));
  EXPECT_TRUE(Seen(4, "old/inner/f.txt"));

  records_.clear();
  WriteFile(At("new/inner/f.txt"), "changed");
  WriteFile(At("old-x/h.txt"), "changed");
  fs::rename(At("new/inner"), At("new/inner2"));
  WriteFile(At("new/inner2/f.txt"), "changed again");
  ASSERT_TRUE(CollectUntil([&] { return Seen(3, "new/inner2/f.txt"); }));
  EXPECT_TRUE(Seen(3, "new/inner/f.txt"));
  EXPECT_TRUE(Seen(3, "old-x/h.txt"));
  EXPECT_FALSE(SeenUnder("old/"));
}

TEST_F(ChangeSourceTest, MovesInAndOutOfTheTreeAndSymbolicLinks) {
  fs::create_directories(outside_ + "/in/sub");
  fs::create_directories(outside_ + "/target");
  WriteFile(outside_ + "/in/sub/f.txt", "f");
  fs::create_directories(At("out/sub"));
  StartSource();
  const std::size_t watched = source_->watch_count();
  ASSERT_EQ(watched, 3u);

  fs::rename(outside_ + "/in", At("in"));
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, "in/sub/f.txt"); }));
  EXPECT_TRUE(Seen(5, "in"));
  WriteFile(At("in/sub/g.txt"), "g");
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, "in/sub/g.txt"); }));

  fs::rename(At("out"), outside_ + "/out");
  ASSERT_TRUE(CollectUntil([&] { return Seen(4, "out"); }));
  Barrier();
  EXPECT_EQ(source_->watch_count(), watched);  // two in, two out
  WriteFile(outside_ + "/out/sub/late.txt", "gone from the tree");
  Barrier();
  EXPECT_FALSE(SeenUnder("out/"));
  EXPECT_FALSE(Seen(5, "out"));

  // A link to a directory is an entry of its own, never followed.
  fs::create_directory_symlink(outside_ + "/target", At("link"));
  WriteFile(outside_ + "/target/x.txt", "x");
  Barrier();
  EXPECT_FALSE(records_.at(IndexOf(1, "link")).directory);
  EXPECT_FALSE(SeenUnder("link/"));
  EXPECT_EQ(source_->watch_count(), watched);
}

TEST_F(ChangeSourceTest, NamesThatAreNotUtf8RoundTripThroughLoneSurrogates) {
  StartSource();
  const std::string dir = "d\xc3(";
  const std::string file = dir + "/bad\xff\xfe.txt";
  fs::create_directory(At(dir));
  WriteFile(At(file), "x");
  WriteFile(At("plain\x80.txt"), "x");
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, file) && Seen(1, "plain\x80.txt"); }));

  const ChangeRecord& record = records_.at(IndexOf(1, file));
  EXPECT_NE(record.path.find(u'\xDCFF'), WString::npos);
  EXPECT_NE(record.path.find(u'\xDCC3'), WString::npos);
  EXPECT_EQ(Utf16ToUtf8(record.path), file);
  WriteFile(At(file), "again");  // the directory's watch has the right bytes
  ASSERT_TRUE(CollectUntil([&] { return Seen(3, file); }));
}

// The kernel queue holds fs.inotify.max_queued_events; more changes while
// nobody reads make it overflow. Either every change arrives or the batch
// says `overflow`; either way the watch map is right afterwards, even for a
// rename the overflow swallowed.
TEST_F(ChangeSourceTest, FloodEitherArrivesWholeOrReportsOverflowAndRecovers) {
  fs::create_directories(At("before/deep"));
  StartSource();
  const int a = open(At("a.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int b = open(At("b.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  // Alternate files: the kernel merges only an event equal to the last queued.
  for (int i = 0; i < 40000; ++i) {
    ASSERT_EQ(write(i % 2 == 0 ? a : b, "x", 1), 1);
  }
  close(a);
  close(b);
  fs::rename(At("before"), At("after"));
  fs::create_directory(At("fresh"));

  ASSERT_TRUE(CollectUntil([&] { return overflow_ || (Seen(5, "after") && Seen(1, "fresh")); }));
  if (!overflow_) {
    EXPECT_TRUE(Seen(3, "a.log") && Seen(3, "b.log"));
  }
  records_.clear();
  WriteFile(At("after/deep/x.txt"), "x");
  WriteFile(At("fresh/y.txt"), "y");
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, "after/deep/x.txt") && Seen(1, "fresh/y.txt"); }));
  EXPECT_FALSE(SeenUnder("before/"));
  EXPECT_EQ(source_->watch_count(), 4u);
}

TEST(ChangeSourceLifecycle, StopWakesAWaiterAndNothingLeaks) {
  PrivateTree tree;
  const std::string root = tree.home() + "/r";
  fs::create_directories(root + "/a/b");
  const int descriptors = testing::OpenDescriptorCount();
  {
    ChangeSource source(root);
    ASSERT_EQ(source.Start(), 0);
    auto waiter = std::async(std::launch::async, [&] { return source.WaitForChanges(-1); });
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    source.RequestStop();
    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    EXPECT_TRUE(waiter.get().stopped);
    EXPECT_TRUE(source.WaitForChanges(-1).stopped);  // stays stopped
  }
  {
    ChangeSource source(root);
    source.RequestStop();  // before Start: the walk is cut short
    EXPECT_EQ(source.Start(), 0);
    EXPECT_TRUE(source.WaitForChanges(-1).stopped);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
}

TEST_F(ChangeSourceTest, MissingOrRemovedRootEndsTheSource) {
  ChangeSource missing(tree_.home() + "/missing");
  EXPECT_EQ(missing.Start(), ENOENT);
  EXPECT_TRUE(missing.WaitForChanges(-1).root_gone);

  root_ += "//";
  StartSource();
  EXPECT_EQ(source_->root(), tree_.home() + "/watched");
  fs::remove_all(source_->root());
  EXPECT_TRUE(CollectUntil([&] { return root_gone_; }));
}

TEST_F(ChangeSourceTest, SkippedFoldersGetNoWatchAndReportNothingWhereverTheyAppear) {
  fs::create_directories(root_ + "/keep/node_modules/deep");
  fs::create_directories(root_ + "/node_modules");
  StartSource([](const std::string& relative, bool directory) {
    const std::string name = relative.substr(relative.rfind('/') + 1);
    return directory ? name == "node_modules" : name.ends_with(".tmp");
  });
  // The root and keep/: the skipped folders and all below them have none.
  EXPECT_EQ(source_->watch_count(), 2u);
  WriteFile(root_ + "/node_modules/a.txt", "x");
  WriteFile(root_ + "/keep/node_modules/deep/b.txt", "x");
  WriteFile(root_ + "/keep/scratch.tmp", "x");
  // A folder skipped outside the tree comes in under another name: watched.
  fs::create_directories(outside_ + "/node_modules/inner");
  WriteFile(outside_ + "/node_modules/inner/c.txt", "x");
  fs::rename(outside_ + "/node_modules", root_ + "/keep/new");
  fs::rename(root_ + "/keep/new", root_ + "/keep/new2");
  fs::create_directories(root_ + "/moved");
  WriteFile(root_ + "/keep/probe.txt", "x");  // after everything above in the queue
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, "keep/probe.txt"); }));
  for (const ChangeRecord& record : records_) {
    const std::string path = Utf16ToUtf8(record.path);
    EXPECT_EQ(path.find("node_modules/"), std::string::npos) << path;
    EXPECT_FALSE(path.ends_with(".tmp")) << path;
  }
  // keep/new2 came in from outside, with its inner folder: both watched.
  EXPECT_TRUE(Seen(5, "keep/new2/inner/c.txt") || Seen(1, "keep/new2/inner/c.txt"));
  const std::size_t watched = source_->watch_count();
  fs::rename(root_ + "/keep/new2", root_ + "/moved/node_modules");
  WriteFile(root_ + "/keep/probe3.txt", "x");
  ASSERT_TRUE(CollectUntil([&] { return Seen(1, "keep/probe3.txt"); }));
  // Renamed to a skipped name: new2 and inner lose their watches (moved/
  // itself, made after the start, gained one).
  EXPECT_TRUE(CollectUntil([&] { return source_->watch_count() == watched - 2; }));
}

}  // namespace
}  // namespace trovix
