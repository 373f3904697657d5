// Reading whole result sets (ITrovixResultRows) through the component, on
// an index of real files: every row agrees with SearchNext's record for the
// same set, files that left the catalogue are skipped, and the word
// candidates differ from SearchOpenWord only by such files.
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "shared/itrovixresultrows.h"
#include "shared/search_result.h"

namespace ordalis::testing {
namespace {

using trovix::SearchResultRecord;
using Ids = std::vector<INT>;

// A row as the sink saw it, the path copied out of the call.
struct SeenRow {
  ResultRow row;
  std::string path;
};

class RowList final : public IResultRowSink {
 public:
  explicit RowList(std::size_t stop_after = SIZE_MAX) : stop_after_(stop_after) {}
  HRESULT Row(const ResultRow& row) override {
    rows.push_back({row, std::string(row.path, row.path_bytes)});
    return rows.size() >= stop_after_ ? E_ABORT : S_OK;
  }
  Ids ids() const {
    Ids out;
    for (const SeenRow& seen : rows) out.push_back(seen.row.file_id);
    return out;
  }
  std::vector<SeenRow> rows;

 private:
  std::size_t stop_after_;
};

class ResultRowsTest : public OpenedStoreTest {
 protected:
  void SetUp() override {
    OpenedStoreTest::SetUp();
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixResultRows, rows_.put_void()), S_OK);
    std::filesystem::create_directories(tree_->home() + "/docs/sub");
    alpha_ = AddIndexed("docs/a.txt", "budget report");
    beta_ = AddIndexed("docs/sub/b.txt", "budget notes");
    // A name that is not UTF-8: its bytes must come back unchanged.
    odd_ = AddIndexed("docs/\xff\xfe odd.txt", "budget odd");
    gamma_ = AddIndexed("docs/c.txt", "report only");
  }
  void TearDown() override {
    rows_.reset();
    OpenedStoreTest::TearDown();
  }

  // SearchNext's records of the whole set, from its first row; the read
  // position is put back where it was.
  std::vector<SearchResultRecord> RecordsOf(UINT handle) {
    std::vector<SearchResultRecord> records;
    const std::size_t position = trovix::FindSearchResult(handle)->position();
    static_cast<void>(db_->SearchRewind(handle));
    SearchResultRecord record{};
    while (db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)) == S_OK) {
      records.push_back(record);
    }
    static_cast<void>(db_->SearchRewind(handle));
    for (std::size_t i = 0; i < position; ++i) {
      EXPECT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
    }
    return records;
  }

  static void ExpectSame(const SeenRow& seen, const SearchResultRecord& record) {
    EXPECT_EQ(Utf8ToUtf16(seen.path), WString(record.path));
    EXPECT_EQ(seen.row.file_id, record.FileID);
    EXPECT_EQ(seen.row.checksum, record.Checksum);
    EXPECT_EQ(FileTimeToInt64(seen.row.creation), FileTimeToInt64(record.CreationDateTime));
    EXPECT_EQ(FileTimeToInt64(seen.row.modification), FileTimeToInt64(record.ModificationDateTime));
    EXPECT_EQ(FileTimeToInt64(seen.row.last_access), FileTimeToInt64(record.LastAccessDateTime));
    EXPECT_EQ(FileTimeToInt64(seen.row.last_update), FileTimeToInt64(record.TXLastUpdate));
    EXPECT_EQ(seen.row.status, record.Status);
    EXPECT_EQ(seen.row.size_lo32, record.SizeLo32);
  }

  void ExecuteSql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  ComPtr<ITrovixResultRows> rows_;
  INT alpha_ = 0, beta_ = 0, odd_ = 0, gamma_ = 0;
};

TEST_F(ResultRowsTest, RowsAreSearchNextsRecordsWithTheStoredBytesAndLeaveThePositionAlone) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  SearchResultRecord first{};
  ASSERT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&first)), S_OK);
  RowList sink;
  ASSERT_EQ(rows_->ReadResultRows(handle, &sink), S_OK);
  EXPECT_EQ(trovix::FindSearchResult(handle)->position(), 1u);
  const std::vector<SearchResultRecord> records = RecordsOf(handle);
  ASSERT_EQ(sink.ids(), (Ids{alpha_, beta_, odd_}));
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < records.size(); ++i) ExpectSame(sink.rows[i], records[i]);
  EXPECT_EQ(sink.rows[2].path, tree_->home() + "/docs/\xff\xfe odd.txt");
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

// The cursor steps to near identifiers and seeks far ones, forward or
// back; a caller's set may be in any order and repeat an identifier.
TEST_F(ResultRowsTest, ACallersSetIsReadInItsOwnOrderWithRepeatsGapsAndMissingIdentifiers) {
  std::string sql =
      "BEGIN; INSERT INTO Directories (DirectoryID, Name, DriveID) SELECT 900, 'bulk/', DriveID "
      "FROM Directories LIMIT 1;";
  for (int id = 1000; id < 3000; id += (id % 50 == 0 ? 30 : 1)) {
    const std::string text = std::to_string(id);
    sql += "INSERT INTO Files (FileID, DirectoryID, Name, SizeLo32, Checksum, Status) VALUES (" +
           text + ", 900, 'f" + text + ".txt', " + text + ", -" + text + ", 2);";
  }
  ExecuteSql(sql + "COMMIT");
  Ids ids;
  for (int id = 1000; id < 3000; id += 3) ids.push_back(id);  // some have no row
  ids.insert(ids.end(), {2999, 1001, 1001, alpha_, 1000000, 2500});
  const UINT handle = trovix::RegisterSearchResult(std::make_unique<trovix::SearchResult>(ids));
  ASSERT_NE(handle, 0u);
  RowList sink;
  EXPECT_EQ(rows_->ReadResultRows(handle, &sink), S_FALSE);  // some identifiers have no row
  // SearchNext stops on a missing file; its records, read past each gap,
  // are the model.
  std::vector<SearchResultRecord> model;
  SearchResultRecord record{};
  for (HRESULT hr = S_OK; hr != DB_S_ENDOFROWSET;) {
    hr = db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record));
    if (hr == S_OK) model.push_back(record);
    if (hr == E_FAIL) trovix::FindSearchResult(handle)->Advance();
  }
  ASSERT_GT(model.size(), 250u);
  ASSERT_EQ(sink.rows.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) ExpectSame(sink.rows[i], model[i]);
  EXPECT_TRUE(trovix::CloseSearchResult(handle));
}

// A set with many files per catalogued folder has every folder read at
// once: the rows must be those of the lookups folder by folder, and a file
// whose folder has no row (below or above the highest folder) is skipped.
TEST_F(ResultRowsTest, FoldersReadAllAtOnceGiveTheSameRowsAsLookupsOneByOne) {
  ExecuteSql(
      "INSERT INTO Files (FileID, DirectoryID, Name) VALUES (500, 0, 'orphan.txt'), "
      "(501, 77, 'stray.txt')");
  Ids ids;
  for (int round = 0; round < 4; ++round) ids.insert(ids.end(), {alpha_, beta_, odd_, gamma_});
  ids.insert(ids.end(), {500, 501});
  const UINT handle = trovix::RegisterSearchResult(std::make_unique<trovix::SearchResult>(ids));
  ASSERT_NE(handle, 0u);
  RowList sink;
  EXPECT_EQ(rows_->ReadResultRows(handle, &sink), S_FALSE);
  ASSERT_EQ(sink.rows.size(), 16u);
  std::vector<SearchResultRecord> model;
  SearchResultRecord record{};
  while (db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)) == S_OK) {
    model.push_back(record);
  }
  ASSERT_EQ(model.size(), 16u);
  for (std::size_t i = 0; i < model.size(); ++i) ExpectSame(sink.rows[i], model[i]);
  EXPECT_TRUE(trovix::CloseSearchResult(handle));
}

TEST_F(ResultRowsTest, FilesThatLeftTheCatalogueAreSkippedAndTheAnswerSaysSo) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  ASSERT_EQ(db_->DeleteFileHard(Utf8ToUtf16(tree_->home() + "/docs/sub/b.txt").c_str()), S_OK);
  RowList sink;
  EXPECT_EQ(rows_->ReadResultRows(handle, &sink), S_FALSE);
  EXPECT_EQ(sink.ids(), (Ids{alpha_, odd_}));
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

TEST_F(ResultRowsTest, EmptySetsBadHandlesNullSinksAndAClosedStoreReportNothing) {
  RowList sink;
  const UINT empty = trovix::RegisterSearchResult(std::make_unique<trovix::SearchResult>());
  EXPECT_EQ(rows_->ReadResultRows(empty, &sink), S_OK);
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  EXPECT_EQ(rows_->ReadResultRows(handle, nullptr), E_INVALIDARG);
  EXPECT_EQ(rows_->ReadResultRows(0, &sink), E_INVALIDARG);
  EXPECT_EQ(rows_->ReadResultRows(handle + empty + 1000, &sink), E_INVALIDARG);
  // A sink's failure ends the read and is the answer.
  RowList stopping(/*stop_after=*/1);
  EXPECT_EQ(rows_->ReadResultRows(handle, &stopping), E_ABORT);
  EXPECT_EQ(stopping.ids(), Ids{alpha_});
  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(rows_->ReadResultRows(handle, &sink), E_UNEXPECTED);
  UINT candidates = 0;
  EXPECT_EQ(rows_->SearchOpenWordCandidates(u"budget", &candidates), E_UNEXPECTED);
  EXPECT_TRUE(sink.rows.empty());
  ASSERT_EQ(db_->Init(), S_OK);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
  EXPECT_EQ(db_->SearchClose(empty), S_OK);
}

// Candidates keep a removed file whose word rows stay behind; reading them
// whole gives exactly the rows of the word search.
TEST_F(ResultRowsTest, WordCandidatesReadWholeGiveTheWordSearchsRows) {
  ASSERT_EQ(db_->DeleteFileHard(Utf8ToUtf16(tree_->home() + "/docs/a.txt").c_str()), S_OK);
  // The rows of a set opened with `opened`, which is then closed.
  const auto read = [&](HRESULT opened, const UINT& handle, Ids* ids) {
    ASSERT_EQ(opened, S_OK);
    RowList sink;
    const HRESULT hr = rows_->ReadResultRows(handle, &sink);
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    *ids = sink.ids();
    EXPECT_EQ(db_->SearchClose(handle), S_OK);
  };
  for (const char16_t* query : {u"budget", u"BUDGET report", u"bud*", u"report +", u"odd budget"}) {
    UINT checked = 0;
    UINT candidates = 0;
    Ids from_words;
    Ids from_candidates;
    const HRESULT words_opened = db_->SearchOpenWord(query, &checked);
    read(words_opened, checked, &from_words);
    const HRESULT candidates_opened = rows_->SearchOpenWordCandidates(query, &candidates);
    read(candidates_opened, candidates, &from_candidates);
    EXPECT_EQ(from_candidates, from_words) << Utf16ToUtf8(query);
  }
  UINT handle = 0;
  ASSERT_EQ(rows_->SearchOpenWordCandidates(u"budget", &handle), S_OK);
  EXPECT_EQ(trovix::FindSearchResult(handle)->ids(), (Ids{alpha_, beta_, odd_}));
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
  EXPECT_EQ(rows_->SearchOpenWordCandidates(u" ,; ", &handle), S_FALSE);
  EXPECT_EQ(rows_->SearchOpenWordCandidates(nullptr, &handle), E_INVALIDARG);
}

}  // namespace
}  // namespace ordalis::testing
