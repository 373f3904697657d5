// Removing catalogued files that are gone from the disk, against the real
// index store and real files.
#include "indexer/catalogue_prune.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/itrovixterms.h"

namespace trovix::indexer {
namespace {

using ordalis::testing::OrdalisTest;
namespace fs = std::filesystem;

class CataloguePruneTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(ordalis::testing::RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    store_ = Create();
    ASSERT_EQ(store_->Init(), S_OK);
    docs_ = tree_->home() + "/docs";
    fs::create_directories(docs_);
    extensions_ = IndexableExtensionSet::FromRegistry();
    struct stat st {};
    ASSERT_EQ(stat(docs_.c_str(), &st), 0);
    device_ = st.st_dev;
  }

  // The store goes before the component library is shut down, so that the
  // module is unloaded for the next test.
  void TearDown() override {
    if (store_) static_cast<void>(store_->Cleanup());
    store_.reset();
    OrdalisTest::TearDown();
  }

  // Writes and indexes a file whose only word is `word`.
  void Indexed(const std::string& path, const std::string& word) {
    trovix::testing::WriteFile(path, word);
    UINT keep_going = 1;
    ASSERT_EQ(ProcessFile(path, &keep_going), FileOutcome::kIndexed) << path;
  }

  bool Catalogued(const std::string& path) {
    return store_->FileInDB(Utf8ToUtf16(path).c_str()) == S_OK;
  }

  // How many catalogued files have `word`.
  // The files the term search finds by `word`.
  UINT FilesWith(const char16_t* word) {
    UINT handle = 0;
    UINT size = 0;
    ComPtr<ITrovixTerms> terms;
    if (FAILED(store_->QueryInterface(IID_ITrovixTerms, terms.put_void())) ||
        terms->SearchOpenTerms(word, 0, &handle) != S_OK) {
      return 0;
    }
    EXPECT_EQ(store_->SearchGetSize(handle, &size), S_OK);
    EXPECT_EQ(store_->SearchClose(handle), S_OK);
    return size;
  }

  HRESULT Prune(const std::string& folder, PruneStats* stats, unsigned keep_going = 1) {
    const IndexStoreFiles own = IndexStoreFiles::Query(store_.get());
    const std::atomic<unsigned> flag{keep_going};
    return PruneFolder(
        store_.get(), folder,
        [&](const std::string& path) { return IsWantedOnDisk(path, extensions_, own, device_); },
        flag, stats);
  }

  // Removes everything below `folder`, whatever is on disk.
  HRESULT PruneAll(const std::string& folder, PruneStats* stats) {
    const std::atomic<unsigned> flag{1};
    return PruneFolder(
        store_.get(), folder, [](const std::string&) { return false; }, flag, stats);
  }

  ComPtr<ITrovixDB> store_;
  std::string docs_;
  IndexableExtensionSet extensions_;
  dev_t device_ = 0;
};

TEST_F(CataloguePruneTest, DeletedFilesAndRemovedFoldersLeaveTheCatalogueWithTheirWords) {
  Indexed(docs_ + "/kept.txt", "keeper");
  Indexed(docs_ + "/deleted.txt", "ghostword");
  Indexed(docs_ + "/sub/c.txt", "subword");
  Indexed(docs_ + "/sub/deeper/d.txt", "deepword");
  Indexed(tree_->home() + "/elsewhere/e.txt", "outside");
  ASSERT_EQ(FilesWith(u"ghostword"), 1u);
  fs::remove(docs_ + "/deleted.txt");
  fs::remove_all(docs_ + "/sub");
  fs::remove_all(tree_->home() + "/elsewhere");

  PruneStats stats;
  ASSERT_EQ(Prune(docs_ + "/", &stats), S_OK);
  EXPECT_EQ(stats.examined, 4u);
  EXPECT_EQ(stats.removed, 3u);
  EXPECT_TRUE(Catalogued(docs_ + "/kept.txt"));
  EXPECT_FALSE(Catalogued(docs_ + "/deleted.txt"));
  EXPECT_FALSE(Catalogued(docs_ + "/sub/deeper/d.txt"));
  EXPECT_EQ(FilesWith(u"ghostword"), 0u) << "the words go with the entry";
  EXPECT_EQ(FilesWith(u"deepword"), 0u);
  EXPECT_EQ(FilesWith(u"keeper"), 1u);
  EXPECT_TRUE(Catalogued(tree_->home() + "/elsewhere/e.txt")) << "outside the folder";

  // Pruning again finds nothing to do; "/" covers the whole catalogue.
  PruneStats again;
  ASSERT_EQ(Prune(docs_, &again), S_OK);
  EXPECT_EQ(again.removed, 0u);
  PruneStats everything;
  ASSERT_EQ(Prune("/", &everything), S_OK);
  EXPECT_EQ(everything.examined, 2u);
  EXPECT_EQ(everything.removed, 1u);
  EXPECT_FALSE(Catalogued(tree_->home() + "/elsewhere/e.txt"));
  EXPECT_EQ(FilesWith(u"outside"), 0u);
}

TEST_F(CataloguePruneTest, AFileReplacedByAFolderOfTheSameNameIsUnwantedButItsNewFilesStay) {
  const std::string name = docs_ + "/report.txt";
  Indexed(name, "oldreport");
  fs::remove(name);
  Indexed(name + "/inner.txt", "innerword");
  Indexed(docs_ + "/kind.blob.txt", "typed");
  trovix::testing::WriteFile(docs_ + "/linked-target.txt", "x");
  ASSERT_EQ(symlink((docs_ + "/linked-target.txt").c_str(), (docs_ + "/link.txt").c_str()), 0);
  const IndexStoreFiles own = IndexStoreFiles::Query(store_.get());

  EXPECT_FALSE(IsWantedOnDisk(name, extensions_, own, device_)) << "a folder now";
  EXPECT_TRUE(IsWantedOnDisk(name + "/inner.txt", extensions_, own, device_));
  EXPECT_FALSE(IsWantedOnDisk(name + "/inner.txt", extensions_, own, device_ + 1))
      << "on another file system than the walked folder";
  EXPECT_FALSE(IsWantedOnDisk(docs_ + "/link.txt", extensions_, own, device_));
  trovix::testing::WriteFile(docs_ + "/data.blob", "x");
  EXPECT_FALSE(IsWantedOnDisk(docs_ + "/data.blob", extensions_, own, device_));
  EXPECT_FALSE(IsWantedOnDisk(DatabasePath(), extensions_, own, device_));

  PruneStats stats;
  ASSERT_EQ(Prune(docs_, &stats), S_OK);
  EXPECT_EQ(stats.removed, 1u);
  EXPECT_FALSE(Catalogued(name));
  EXPECT_EQ(FilesWith(u"oldreport"), 0u);
  EXPECT_TRUE(Catalogued(name + "/inner.txt"));
  EXPECT_TRUE(Catalogued(docs_ + "/kind.blob.txt"));
}

// The store's patterns treat "_" "%" "*" and case loosely and expand
// variables; none of that may reach a sibling folder.
TEST_F(CataloguePruneTest, WildcardVariableAndCaseCharactersInFolderNamesSelectOnlyThatFolder) {
  setenv("TROVIX_PRUNE_VAR", "axb", 1);
  const std::vector<std::string> targets = {
      "a_b", "a%b", "st*r", "$TROVIX_PRUNE_VAR", "%TROVIX_PRUNE_VAR%", "~"};
  const std::vector<std::string> siblings = {
      "axb", "A_B", "a_bc", "a%%b", "star", "sta*r", "$TROVIX_PRUNE_VARx", "a_b_"};
  for (const std::string& folder : targets) Indexed(docs_ + "/" + folder + "/t.txt", "target");
  for (const std::string& folder : siblings) Indexed(docs_ + "/" + folder + "/s.txt", "sibling");
  const UINT all_siblings = FilesWith(u"sibling");
  ASSERT_EQ(all_siblings, siblings.size());

  for (const std::string& folder : targets) {
    PruneStats stats;
    ASSERT_EQ(PruneAll(docs_ + "/" + folder, &stats), S_OK) << folder;
    EXPECT_EQ(stats.examined, 1u) << folder;
    EXPECT_EQ(stats.removed, 1u) << folder;
    EXPECT_FALSE(Catalogued(docs_ + "/" + folder + "/t.txt")) << folder;
    EXPECT_EQ(FilesWith(u"sibling"), all_siblings) << "a sibling of " << folder << " lost files";
  }
  EXPECT_EQ(FilesWith(u"target"), 0u);
  unsetenv("TROVIX_PRUNE_VAR");
}

TEST_F(CataloguePruneTest, NamesThatAreNotUtf8AreComparedAsBytes) {
  const std::string bad = docs_ + "/caf\xe9";  // Latin-1, not UTF-8
  const std::string other = docs_ + "/caf\xe8";
  Indexed(bad + "/gone.txt", "latinone");
  Indexed(bad + "/\xff\xfe.txt", "stays");
  Indexed(other + "/x.txt", "neighbour");
  ASSERT_TRUE(Catalogued(bad + "/gone.txt"));
  fs::remove(bad + "/gone.txt");

  PruneStats stats;
  ASSERT_EQ(Prune(docs_, &stats), S_OK);
  EXPECT_EQ(stats.examined, 3u);
  EXPECT_EQ(stats.removed, 1u);
  EXPECT_FALSE(Catalogued(bad + "/gone.txt"));
  EXPECT_TRUE(Catalogued(bad + "/\xff\xfe.txt"));

  PruneStats all;
  ASSERT_EQ(PruneAll(bad, &all), S_OK);
  EXPECT_EQ(all.removed, 1u);
  EXPECT_TRUE(Catalogued(other + "/x.txt")) << "one byte apart, another folder";
}

TEST_F(CataloguePruneTest, AStopLeavesTheRestAndStoreFailuresAreReturned) {
  Indexed(docs_ + "/a.txt", "alpha");
  fs::remove(docs_ + "/a.txt");
  PruneStats stats;
  EXPECT_EQ(Prune(docs_, &stats, /*keep_going=*/0), E_ABORT);
  EXPECT_EQ(stats.removed, 0u);
  EXPECT_TRUE(Catalogued(docs_ + "/a.txt"));

  EXPECT_EQ(RemoveCataloguedFile(store_.get(), Utf8ToUtf16(docs_ + "/never.txt").c_str()), S_FALSE);
  EXPECT_EQ(Prune("relative/docs", &stats), E_INVALIDARG);
  EXPECT_EQ(Prune(docs_ + "/" + std::string(300, 'x'), &stats), S_OK)
      << "nothing below a folder longer than any catalogued path";

  ASSERT_EQ(store_->Cleanup(), S_OK);
  EXPECT_EQ(Prune(docs_, &stats), E_UNEXPECTED);
  EXPECT_EQ(RemoveCataloguedFile(store_.get(), Utf8ToUtf16(docs_ + "/a.txt").c_str()),
            E_UNEXPECTED);
  ASSERT_EQ(store_->Init(), S_OK);
  ASSERT_EQ(RemoveCataloguedFile(store_.get(), Utf8ToUtf16(docs_ + "/a.txt").c_str()), S_OK);
  EXPECT_FALSE(Catalogued(docs_ + "/a.txt"));
  EXPECT_EQ(FilesWith(u"alpha"), 0u);
}

}  // namespace
}  // namespace trovix::indexer
