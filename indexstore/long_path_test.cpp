// Paths as long as Linux allows, through the store's own interfaces: the
// batch catalogues and indexes them with whole folder names, a search finds
// them and the result rows hand them out whole, and a second write finds
// the row it made; while the classic ITrovixDB methods keep refusing every
// path past MAX_PATH units.
#include "platform/testing/long_path.h"

#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"
#include "shared/itrovixbatch.h"
#include "shared/itrovixresultrows.h"
#include "shared/itrovixterms.h"
#include "shared/search_result.h"

namespace ordalis::testing {
namespace {

using trovix::SearchResultRecord;
using trovix::testing::MakeLongPathFile;

// The lengths in bytes: either side of the classic limit, and far past it.
constexpr std::size_t kLengths[] = {259, 260, 1000, 4000};

class PathList final : public IResultRowSink {
 public:
  HRESULT Row(const ResultRow& row) override {
    paths.emplace(row.path, row.path_bytes);
    return S_OK;
  }
  std::set<std::string> paths;
};

class NameList final : public ICatalogueRowSink {
 public:
  HRESULT Row(const CatalogueRow& row) override {
    names.insert(Utf16ToUtf8(row.name));
    return S_OK;
  }
  std::set<std::string> names;
};

class FolderList final : public ICatalogueFolderSink {
 public:
  HRESULT Folder(const WCHAR* path) override {
    folders.insert(Utf16ToUtf8(path));
    return S_OK;
  }
  std::set<std::string> folders;
};

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The paths' lengths: a failure message of four-kilobyte paths says little.
std::vector<std::size_t> Lengths(const std::set<std::string>& paths) {
  std::vector<std::size_t> lengths;
  for (const std::string& path : paths) lengths.push_back(path.size());
  return lengths;
}

class LongPathTest : public OpenedStoreTest {
 protected:
  void SetUp() override {
    OpenedStoreTest::SetUp();
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixBatch, batch_.put_void()), S_OK);
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixResultRows, rows_.put_void()), S_OK);
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixTerms, terms_.put_void()), S_OK);
    base_ = tree_->home() + "/deep";
    std::filesystem::create_directories(base_);
  }
  void TearDown() override {
    terms_.reset();
    rows_.reset();
    batch_.reset();
    OpenedStoreTest::TearDown();
  }

  // Prepares and writes `paths` in one batch: WritePrepared's answers.
  std::vector<HRESULT> WriteBatch(const std::vector<std::string>& paths) {
    std::vector<PreparedFile*> files;
    for (const std::string& path : paths) {
      PreparedFile* file = nullptr;
      EXPECT_EQ(batch_->PrepareFile(Utf8ToUtf16(path).c_str(), nullptr, &file), S_OK)
          << path.size();
      files.push_back(file);
    }
    std::vector<HRESULT> answers;
    EXPECT_EQ(batch_->BeginBatch(), S_OK);
    for (PreparedFile* file : files) answers.push_back(batch_->WritePrepared(file));
    EXPECT_EQ(batch_->CommitBatch(), S_OK);
    for (PreparedFile* file : files) batch_->ReleasePrepared(file);
    return answers;
  }

  HRESULT RemoveInBatch(const std::string& path) {
    EXPECT_EQ(batch_->BeginBatch(), S_OK);
    const HRESULT hr = batch_->RemoveFile(Utf8ToUtf16(path).c_str());
    EXPECT_EQ(batch_->CommitBatch(), S_OK);
    return hr;
  }

  // The whole paths of the files holding `word`, through the result rows.
  std::set<std::string> Found(const WCHAR* word) {
    UINT handle = 0;
    EXPECT_EQ(terms_->SearchOpenTerms(word, kTermsCandidates, &handle), S_OK);
    PathList sink;
    EXPECT_EQ(rows_->ReadResultRows(handle, &sink), S_OK);
    EXPECT_EQ(db_->SearchClose(handle), S_OK);
    return sink.paths;
  }

  long Count(const std::string& sql) {
    sqlite3* db = nullptr;
    long count = -1;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      count = static_cast<long>(sqlite3_column_int64(stmt, 0));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
  }

  ComPtr<ITrovixBatch> batch_;
  ComPtr<ITrovixResultRows> rows_;
  ComPtr<ITrovixTerms> terms_;
  std::string base_;
};

TEST_F(LongPathTest, TheBatchCataloguesIndexesAndFindsPathsUpToPathMaxWhole) {
  std::vector<std::string> paths;
  for (const std::size_t length : kLengths) {
    paths.push_back(MakeLongPathFile(base_ + "/" + std::to_string(length), length, ".txt",
                                     "deepword note " + std::to_string(length)));
  }
  // A name that is not UTF-8 keeps its byte, as a lone surrogate in between.
  paths.push_back(MakeLongPathFile(base_ + "/odd", 1000, ".txt", "deepword odd", true));
  EXPECT_EQ(WriteBatch(paths), std::vector<HRESULT>(paths.size(), S_OK));
  const std::set<std::string> all(paths.begin(), paths.end());
  const std::set<std::string> found = Found(u"deepword");
  EXPECT_TRUE(found == all) << ::testing::PrintToString(Lengths(found));
  EXPECT_TRUE(Found(u"4000") == std::set<std::string>{paths[3]});
  // Folder names are stored whole, so the catalogue spells the path.
  EXPECT_EQ(Count("SELECT max(length(CAST(Name AS BLOB))) FROM Directories"),
            static_cast<long>(Parent(paths[3]).size() - 1));
  for (const std::string& path : paths) {
    NameList names;
    ASSERT_EQ(batch_->ReadFolder(Utf8ToUtf16(Parent(path)).c_str(), &names), S_OK);
    EXPECT_TRUE(names.names == std::set<std::string>{path.substr(path.rfind('/') + 1)})
        << path.size();
  }
  FolderList folders;
  ASSERT_EQ(batch_->ReadFolders(Utf8ToUtf16(base_).c_str(), &folders), S_OK);
  std::set<std::string> parents;
  for (const std::string& path : paths) parents.insert(Parent(path));
  EXPECT_TRUE(folders.folders == parents) << ::testing::PrintToString(Lengths(folders.folders));
}

TEST_F(LongPathTest, ALongPathWrittenAgainOrRemovedFindsTheRowItMade) {
  const std::string path = MakeLongPathFile(base_, 4000, ".txt", "firstword");
  ASSERT_EQ(WriteBatch({path}), std::vector<HRESULT>{S_OK});
  trovix::testing::WriteFile(path, "secondword");
  ASSERT_EQ(WriteBatch({path}), std::vector<HRESULT>{S_OK});
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 1);
  EXPECT_EQ(Count("SELECT count(*) FROM Directories WHERE length(CAST(Name AS BLOB)) > 255"), 1);
  EXPECT_TRUE(Found(u"firstword").empty());
  EXPECT_TRUE(Found(u"secondword") == std::set<std::string>{path});
  EXPECT_EQ(RemoveInBatch(path), S_OK);
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 0);
  EXPECT_TRUE(Found(u"secondword").empty());
  EXPECT_EQ(RemoveInBatch(path), S_FALSE);
}

TEST_F(LongPathTest, TheBatchRefusesAPathLongerThanPathMaxAllows) {
  // 4,096 bytes: one more than a path the kernel takes; as bytes or as the
  // three-byte characters of 1,366 units.
  const WString ascii = Utf8ToUtf16(base_ + "/" + std::string(4095 - base_.size(), 'x'));
  const WString wide = u"/" + WString(1365, u'\u65E5');
  for (const WString& path : {ascii, wide}) {
    ASSERT_GT(Utf16ToUtf8(path).size(), trovix::kMaxCataloguedPathBytes);
    PreparedFile* file = nullptr;
    EXPECT_EQ(batch_->PrepareFile(path.c_str(), nullptr, &file), E_INVALIDARG);
    EXPECT_EQ(file, nullptr);
    NameList names;
    EXPECT_EQ(batch_->ReadFolder(path.c_str(), &names), E_INVALIDARG);
    ASSERT_EQ(batch_->BeginBatch(), S_OK);
    EXPECT_EQ(batch_->RemoveFile(path.c_str()), E_INVALIDARG);
    EXPECT_EQ(batch_->CommitBatch(), S_OK);
  }
}

// The classic interface keeps its rule for every path past MAX_PATH units,
// also for a file the batch catalogued; SearchNext hands such a file's path
// out cut to one unit more than any path it takes.
TEST_F(LongPathTest, ClassicMethodsRefuseLongPathsAndSearchNextMarksThemCut) {
  const std::string path = MakeLongPathFile(base_, 1000, ".txt", "classicword");
  ASSERT_EQ(WriteBatch({path}), std::vector<HRESULT>{S_OK});
  const WString wide = Utf8ToUtf16(path);
  const WString just_over = u"/" + WString(MAX_PATH, u'x');
  for (const WString& too_long : {wide, just_over}) {
    const WCHAR* s = too_long.c_str();
    INT id = 0;
    UINT handle = 0;
    WCHAR out[MAX_PATH + 1];
    EXPECT_EQ(db_->AddFile(s), E_INVALIDARG);
    EXPECT_EQ(db_->UpdateFile(s), E_INVALIDARG);
    EXPECT_EQ(db_->FileInDB(s), E_INVALIDARG);
    EXPECT_EQ(db_->GetFileID(s, &id), E_INVALIDARG);
    EXPECT_EQ(db_->FileDueForUpdate(s), E_INVALIDARG);
    EXPECT_EQ(db_->IndexFile(s, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(db_->FileIndexed(s), E_INVALIDARG);
    EXPECT_EQ(db_->UnIndexFile(s, 0), E_INVALIDARG);
    EXPECT_EQ(db_->DeleteFileHard(s), E_INVALIDARG);
    EXPECT_EQ(db_->GetDirID(s, &id), E_INVALIDARG);
    EXPECT_EQ(db_->RenameFile(s, u"/a"), E_INVALIDARG);
    EXPECT_EQ(db_->FindFirstDuplicateFile(s, out, MAX_PATH + 1, &handle), E_INVALIDARG);
  }
  EXPECT_EQ(Count("SELECT count(*) FROM Files"), 1) << "nothing was removed";
  UINT handle = 0;
  ASSERT_EQ(terms_->SearchOpenTerms(u"classicword", 0, &handle), S_OK);
  SearchResultRecord record{};
  ASSERT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
  EXPECT_EQ(WcsLen(record.path), MAX_PATH + 1);
  EXPECT_TRUE(WString(record.path) == wide.substr(0, MAX_PATH + 1));
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

}  // namespace
}  // namespace ordalis::testing
