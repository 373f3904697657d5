// Searches through the component's interface, on a small index built from
// real files with AddFile and IndexFile: word queries, path patterns, the
// combining methods, reading records, and result sets that outlive the
// module.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "indexstore/checksum.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/file_info.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "shared/search_result.h"

namespace ordalis::testing {
namespace {

using trovix::SearchResultRecord;
using Ids = std::vector<INT>;

class SearchTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    docs_ = tree_->home() + "/docs";
    std::filesystem::create_directories(docs_ + "/sub");
    // Identifiers follow the order of AddFile: 1 to 6.
    report_ = Add("docs/a.txt", "report budget quarterly");
    reply_ = Add("docs/b.txt", "Reply budget");
    summary_ = Add("docs/c.txt", "report summary");
    empty_ = Add("docs/d.txt", "");
    notes_ = Add("docs/sub/e.txt", "budget REPORT notes");
    data_ = Add("docs/f.dat", "not indexed", /*index=*/false);
  }
  void TearDown() override {
    if (db_) {
      EXPECT_EQ(db_->Cleanup(), S_OK);
    }
    db_.reset();
    OrdalisTest::TearDown();
  }

  // Writes, catalogues and (unless told otherwise) indexes a file below the
  // home folder; answers its identifier.
  INT Add(const std::string& relative, const std::string& text, bool index = true) {
    const std::string path = tree_->home() + "/" + relative;
    trovix::testing::WriteFile(path, text);
    const WString wide = Utf8ToUtf16(path);
    EXPECT_EQ(db_->AddFile(wide.c_str()), S_OK);
    if (index) {
      EXPECT_EQ(db_->IndexFile(wide.c_str(), nullptr, nullptr), S_OK);
    }
    INT id = 0;
    EXPECT_EQ(db_->GetFileID(wide.c_str(), &id), S_OK);
    return id;
  }

  // The identifiers of a result set, read from the shared table.
  static Ids IdsOf(UINT handle) {
    const trovix::SearchResult* result = trovix::FindSearchResult(handle);
    return result != nullptr ? result->ids() : Ids{99999};
  }

  // Opens a word search and answers its identifiers (closing the set), or
  // {-1} with the status in *hr when the open did not answer S_OK.
  Ids Words(const WString& query, HRESULT* hr = nullptr) {
    return Opened(db_->SearchOpenWord(query.c_str(), &handle_), hr);
  }
  Ids Pattern(const std::string& pattern, HRESULT* hr = nullptr) {
    return Opened(db_->SearchOpenFileType(Utf8ToUtf16(pattern).c_str(), &handle_), hr);
  }
  Ids Opened(HRESULT opened, HRESULT* hr) {
    if (hr != nullptr) *hr = opened;
    if (opened != S_OK) return {-1};
    const Ids ids = IdsOf(handle_);
    EXPECT_EQ(db_->SearchClose(handle_), S_OK);
    return ids;
  }

  void ExecuteSql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  std::uint64_t LogSize() {
    WCHAR path[MAX_PATH + 1];
    UINT cch = MAX_PATH + 1;
    EXPECT_EQ(db_->GetLogFileName(path, &cch), S_OK);
    struct stat st {};
    return stat(Utf16ToUtf8(path).c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  }

  ComPtr<ITrovixDB> db_;
  std::string docs_;
  UINT handle_ = 0;
  INT report_ = 0, reply_ = 0, summary_ = 0, empty_ = 0, notes_ = 0, data_ = 0;
};

TEST_F(SearchTest, WordsAreIntersectedAscendingWhateverTheirOrderOrCase) {
  EXPECT_EQ(Words(u"report budget"), (Ids{report_, notes_}));
  EXPECT_EQ(Words(u"budget report"), (Ids{report_, notes_}));
  EXPECT_EQ(Words(u"(BUDGET), report; report!"), (Ids{report_, notes_}));
  EXPECT_EQ(Words(u"report"), (Ids{report_, summary_, notes_}));
  EXPECT_EQ(Words(u"report missing"), Ids{});
}

TEST_F(SearchTest, WildcardsAndTheThreeSymbolTokens) {
  EXPECT_EQ(Words(u"rep*"), (Ids{report_, reply_, summary_, notes_}));
  EXPECT_EQ(Words(u"REP*"), (Ids{report_, reply_, summary_, notes_}));
  EXPECT_EQ(Words(u"rep"), Ids{});
  EXPECT_EQ(Words(u"*port bud*"), (Ids{report_, notes_}));
  EXPECT_EQ(Words(u"*"), (Ids{report_, reply_, summary_, empty_, notes_, data_}));
  EXPECT_EQ(Words(u"+"), (Ids{report_, reply_, summary_, notes_}));
  EXPECT_EQ(Words(u"-"), (Ids{empty_, data_}));
  EXPECT_EQ(Words(u"- budget"), Ids{});
}

TEST_F(SearchTest, ATextWithoutWordsAnswersFalseAndWritesNoHandle) {
  for (const char16_t* text : {u"", u" ,.\\=`~!@#$^&()|{}[]:;<>?/\t\r\n"}) {
    UINT handle = 77;
    EXPECT_EQ(db_->SearchOpenWord(text, &handle), S_FALSE);
    EXPECT_EQ(handle, 77u);
  }
  UINT handle = 77;
  EXPECT_EQ(db_->SearchOpenWord(nullptr, &handle), E_INVALIDARG);
  EXPECT_EQ(db_->SearchOpenWord(u"report", nullptr), E_INVALIDARG);
  EXPECT_EQ(db_->SearchOpenFileType(nullptr, &handle), E_POINTER);
  EXPECT_EQ(db_->SearchOpenFileType(u"*", nullptr), E_POINTER);
  EXPECT_EQ(handle, 77u);
}

TEST_F(SearchTest, WordsBeyondTheLengthLimitsFailLogged) {
  HRESULT hr = S_OK;
  EXPECT_EQ(Words(WString(49, u'r'), &hr), Ids{});
  const std::uint64_t log_before = LogSize();
  EXPECT_EQ(Words(u"report " + WString(50, u'r'), &hr), Ids{-1});
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_GT(LogSize(), log_before);
  EXPECT_EQ(Words(u"rep" + WString(42, u'r') + u"*", &hr), Ids{});
  EXPECT_EQ(Words(u"rep" + WString(43, u'r') + u"*", &hr), Ids{-1});
  EXPECT_EQ(hr, E_FAIL);
}

// Words the tokenizer never stores are put in directly: the point is that
// the query text reaches the engine as a value, not as statement text.
TEST_F(SearchTest, QuotesPercentAndUnderscoreInWordsMatchOnlyThemselves) {
  ExecuteSql(
      "INSERT INTO Words (ID, Word) VALUES (901, 'o''neil'), (902, '50%off'), (903, '50xoff'), "
      "(904, 'plan_b'), (905, 'planxb');"
      "INSERT INTO FilesWords VALUES (" +
      std::to_string(report_) + ", 901, 1), (" + std::to_string(report_) + ", 902, 1), (" +
      std::to_string(reply_) + ", 903, 1), (" + std::to_string(summary_) + ", 904, 1), (" +
      std::to_string(notes_) + ", 905, 1);");
  EXPECT_EQ(Words(u"o'neil"), Ids{report_});
  EXPECT_EQ(Words(u"O'N*"), Ids{report_});
  EXPECT_EQ(Words(u"50%*"), Ids{report_});
  EXPECT_EQ(Words(u"plan_*"), Ids{summary_});
  EXPECT_EQ(Words(u"plan_b"), Ids{summary_});
  EXPECT_EQ(Words(u"x' or '1'='1"), Ids{});
  EXPECT_EQ(Words(u"'"), Ids{});
  EXPECT_EQ(Words(u"\"report\""), Ids{});
}

TEST_F(SearchTest, PathPatternsMatchByPartAndADirectoryWithoutStarOnlyItself) {
  const std::string root = tree_->home();
  EXPECT_EQ(Pattern(docs_ + "/*.txt"), (Ids{report_, reply_, summary_, empty_}));
  EXPECT_EQ(Pattern(docs_ + "/"), (Ids{report_, reply_, summary_, empty_, data_}));
  EXPECT_EQ(Pattern(docs_ + "*/*.txt"), (Ids{report_, reply_, summary_, empty_, notes_}));
  EXPECT_EQ(Pattern("/*.TXT"), (Ids{report_, reply_, summary_, empty_, notes_}));
  EXPECT_EQ(Pattern("*.dat"), Ids{data_});
  EXPECT_EQ(Pattern("$HOME/docs/sub/*"), Ids{notes_});
  EXPECT_EQ(Pattern("~/docs/?.txt"), Ids{});  // "?" is no wildcard
  EXPECT_EQ(Pattern("/nowhere/*"), Ids{});
}

TEST_F(SearchTest, QuotesPercentAndUnderscoreInPatternsMatchOnlyThemselves) {
  const INT quoted = Add("docs/it's 50%_done.txt", "", /*index=*/false);
  Add("docs/it's 50x_done.txt", "", false);
  Add("docs/it's 50%xdone.txt", "", false);
  EXPECT_EQ(Pattern(docs_ + "/it's 50%_*"), Ids{quoted});
  EXPECT_EQ(Pattern(docs_ + "/*'s 50%_done.txt"), Ids{quoted});
}

TEST_F(SearchTest, CleanPatternsFollowTheSizeQueryProtocol) {
  UINT cch = 0;
  EXPECT_EQ(db_->SearchCleanupFileQry(u"/home/x/", nullptr, &cch), S_FALSE);
  EXPECT_EQ(cch, 10u);
  WCHAR clean[10] = u"untouched";
  cch = 9;
  EXPECT_EQ(db_->SearchCleanupFileQry(u"/home/x/", clean, &cch), S_FALSE);
  EXPECT_EQ(cch, 10u);
  EXPECT_EQ(WString(clean), u"untouched");
  EXPECT_EQ(db_->SearchCleanupFileQry(u"/home/x/", clean, &cch), S_OK);
  EXPECT_EQ(WString(clean), u"/home/x/*");
  EXPECT_EQ(db_->SearchCleanupFileQry(u"/home/x/", clean, nullptr), E_POINTER);
  EXPECT_EQ(db_->SearchCleanupFileQry(u"", clean, &cch), E_INVALIDARG);
  EXPECT_EQ(db_->SearchCleanupFileQry(nullptr, clean, &cch), E_INVALIDARG);
}

TEST_F(SearchTest, IntersectionAndSubtractionOfSetsTheCallerMade) {
  const auto make = [](Ids ids) {
    return trovix::RegisterSearchResult(std::make_unique<trovix::SearchResult>(std::move(ids)));
  };
  const UINT a = make({2, 5, 9});
  const UINT b = make({5, 9, 11});
  const UINT c = make({5, 11});
  const UINT five = make({5});
  UINT out = 0;
  EXPECT_EQ(db_->SearchOpenIntersection(a, b, &out), S_OK);
  EXPECT_EQ(IdsOf(out), (Ids{5, 9}));
  EXPECT_EQ(db_->SearchOpenSubtraction(a, c, &out), S_OK);
  EXPECT_EQ(IdsOf(out), (Ids{2, 9}));
  EXPECT_EQ(db_->SearchOpenSubtraction(five, five, &out), S_FALSE);
  EXPECT_EQ(IdsOf(out), Ids{});
  EXPECT_EQ(db_->SearchOpenIntersection(five, c, &out), S_OK);
  EXPECT_EQ(IdsOf(out), Ids{5});
  EXPECT_EQ(db_->SearchOpenIntersection(five, make({2}), &out), S_OK);
  EXPECT_EQ(IdsOf(out), Ids{});
  for (const auto& [x, y] : {std::pair{a, 0u}, std::pair{0u, a}}) {
    out = 0;
    EXPECT_EQ(db_->SearchOpenIntersection(x, y, &out), S_FALSE);
    EXPECT_NE(out, 0u);
    EXPECT_EQ(IdsOf(out), Ids{});
    out = 0;
    EXPECT_EQ(db_->SearchOpenSubtraction(x, y, &out), S_FALSE);
    EXPECT_EQ(IdsOf(out), Ids{});
  }
  EXPECT_EQ(db_->SearchOpenIntersection(a, b, nullptr), E_POINTER);
  // The inputs stay open and unchanged.
  EXPECT_EQ(IdsOf(a), (Ids{2, 5, 9}));
  EXPECT_EQ(IdsOf(b), (Ids{5, 9, 11}));
  EXPECT_EQ(db_->SearchClose(a), S_OK);
  EXPECT_EQ(db_->SearchClose(a), E_INVALIDARG);
}

TEST_F(SearchTest, ReadPositionsFollowNextRewindAndClear) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"report", &handle), S_OK);
  SearchResultRecord record{};
  const auto v = reinterpret_cast<UINT_PTR>(&record);
  for (int pass = 0; pass < 2; ++pass) {
    Ids read;
    while (db_->SearchNext(handle, v) == S_OK) read.push_back(record.FileID);
    EXPECT_EQ(read, (Ids{report_, summary_, notes_}));
    EXPECT_EQ(db_->SearchNext(handle, v), DB_S_ENDOFROWSET);
    EXPECT_EQ(db_->SearchRewind(handle), S_OK);
  }
  UINT size = 0;
  EXPECT_EQ(db_->SearchGetSize(handle, &size), S_OK);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(db_->ClearSearch(handle), S_OK);
  EXPECT_EQ(db_->SearchNext(handle, v), DB_S_ENDOFROWSET);
  EXPECT_EQ(db_->SearchGetSize(handle, &size), S_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(db_->SearchRewind(handle), S_FALSE);
  EXPECT_EQ(db_->SearchNext(0, v), E_INVALIDARG);
  EXPECT_EQ(db_->SearchNext(handle, 0), E_INVALIDARG);
  EXPECT_EQ(db_->SearchGetSize(handle, nullptr), E_INVALIDARG);
  for (HRESULT hr : {db_->SearchGetSize(0, &size), db_->SearchRewind(0), db_->ClearSearch(0),
                     db_->SearchClose(0)}) {
    EXPECT_EQ(hr, E_INVALIDARG);
  }
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

TEST_F(SearchTest, RecordsCarryPathTimesSizeAndChecksum) {
  const std::string path = docs_ + "/record.txt";
  trovix::testing::WriteFile(path, std::string(1234, 'x'));
  FileAttributes attributes{};
  ASSERT_EQ(ReadFileAttributes(path, &attributes), 0);
  const FILETIME now = GetSystemTimeAsFileTime();
  ASSERT_EQ(db_->AddFile(Utf8ToUtf16(path).c_str()), S_OK);
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenFileType(Utf8ToUtf16(path).c_str(), &handle), S_OK);
  SearchResultRecord record;
  std::memset(&record, 0xAB, sizeof record);
  ASSERT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
  EXPECT_EQ(WString(record.path), Utf8ToUtf16(path));
  EXPECT_EQ(record.FileID, 7);
  EXPECT_EQ(record.SizeLo32, 1234u);
  EXPECT_EQ(static_cast<std::uint32_t>(record.Checksum), FileChecksum(path));
  EXPECT_EQ(record.Status, 0);
  // Dates keep times to well under a millisecond.
  constexpr std::int64_t kMillisecond = 10000;
  EXPECT_NEAR(FileTimeToInt64(record.CreationDateTime), FileTimeToInt64(attributes.creation),
              kMillisecond);
  EXPECT_NEAR(FileTimeToInt64(record.ModificationDateTime), FileTimeToInt64(attributes.last_write),
              kMillisecond);
  EXPECT_NEAR(FileTimeToInt64(record.LastAccessDateTime), FileTimeToInt64(attributes.last_access),
              kMillisecond);
  EXPECT_NEAR(FileTimeToInt64(record.TXLastUpdate), FileTimeToInt64(now), 60000 * kMillisecond);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

TEST_F(SearchTest, AFileThatLeftTheCatalogueFailsUntilTheCallerMovesOn) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  ASSERT_EQ(db_->DeleteFileHard(Utf8ToUtf16(docs_ + "/a.txt").c_str()), S_OK);
  SearchResultRecord record{};
  const auto v = reinterpret_cast<UINT_PTR>(&record);
  EXPECT_EQ(db_->SearchNext(handle, v), E_FAIL);
  EXPECT_EQ(db_->SearchNext(handle, v), E_FAIL);
  EXPECT_EQ(trovix::FindSearchResult(handle)->position(), 0u);
  // Its word rows stay behind, but the join with Files leaves the file out.
  EXPECT_EQ(Words(u"budget"), (Ids{reply_, notes_}));
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

TEST_F(SearchTest, ResultSetsOutliveTheModuleAndCleanup) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  ASSERT_EQ(db_->Cleanup(), S_OK);
  SearchResultRecord record{};
  const auto v = reinterpret_cast<UINT_PTR>(&record);
  EXPECT_EQ(db_->SearchNext(handle, v), E_UNEXPECTED);
  EXPECT_EQ(db_->SearchOpenWord(u"budget", &handle_), E_UNEXPECTED);
  EXPECT_EQ(db_->SearchOpenFileType(u"*", &handle_), E_UNEXPECTED);
  db_.reset();
  com_.reset();
  ASSERT_FALSE(ModuleIsLoaded());
  EXPECT_EQ(IdsOf(handle), (Ids{report_, reply_, notes_}));

  com_.emplace();
  db_ = Create();
  ASSERT_EQ(db_->Init(), S_OK);
  UINT size = 0;
  EXPECT_EQ(db_->SearchGetSize(handle, &size), S_OK);
  EXPECT_EQ(size, 3u);
  ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
  EXPECT_EQ(WString(record.path), Utf8ToUtf16(docs_ + "/a.txt"));
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

// A large result read row by row: every record is the file its identifier
// names, in ascending order, and the end is reported once all are read.
TEST_F(SearchTest, TenThousandFilesReadInFullEachWithItsOwnRecord) {
  constexpr int kBulk = 10000;
  constexpr int kFirst = 1000;
  std::string sql =
      "BEGIN; INSERT INTO Words (ID, Word) VALUES (500, 'bulkword');"
      "INSERT INTO Directories (DirectoryID, Name, DriveID) SELECT 900, 'bulk/', DriveID "
      "FROM Directories LIMIT 1;";
  for (int i = 0; i < kBulk; ++i) {
    const std::string id = std::to_string(kFirst + i);
    sql += "INSERT INTO Files (FileID, DirectoryID, Name, SizeLo32) VALUES (" + id + ", 900, 'f" +
           id + ".txt', " + id + "); INSERT INTO FilesWords VALUES (" + id + ", 500, 1);";
  }
  ExecuteSql(sql + "COMMIT");
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"bulkword", &handle), S_OK);
  UINT size = 0;
  ASSERT_EQ(db_->SearchGetSize(handle, &size), S_OK);
  ASSERT_EQ(size, static_cast<UINT>(kBulk));
  const WString drive = Utf8ToUtf16(docs_.substr(0, 1));
  SearchResultRecord record{};
  const auto v = reinterpret_cast<UINT_PTR>(&record);
  int read = 0;
  for (; db_->SearchNext(handle, v) == S_OK; ++read) {
    const std::string id = std::to_string(kFirst + read);
    ASSERT_EQ(record.FileID, kFirst + read);
    ASSERT_EQ(record.SizeLo32, static_cast<UINT>(kFirst + read));
    ASSERT_EQ(WString(record.path), drive + u"bulk/f" + Utf8ToUtf16(id) + u".txt");
  }
  EXPECT_EQ(read, kBulk);
  EXPECT_EQ(db_->SearchNext(handle, v), DB_S_ENDOFROWSET);
  // Read again after a rewind: the kept lookup was reset after each row.
  ASSERT_EQ(db_->SearchRewind(handle), S_OK);
  ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
  EXPECT_EQ(record.FileID, kFirst);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

// SearchNext keeps its lookup prepared between calls. The close step frees
// it: a statement left behind would keep the closed connection alive, with
// its descriptors on the database, its log and its shared memory; and one
// kept across a compaction's reopen would belong to a closed connection.
TEST_F(SearchTest, TheKeptLookupIsFreedByCleanupAndCompactionAndServesTheNewConnection) {
  ASSERT_EQ(db_->Cleanup(), S_OK);
  const int closed_descriptors = trovix::testing::OpenDescriptorCount();
  ASSERT_EQ(db_->Init(), S_OK);
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  SearchResultRecord record{};
  const auto v = reinterpret_cast<UINT_PTR>(&record);
  ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
  EXPECT_EQ(record.FileID, report_);
  const int open_descriptors = trovix::testing::OpenDescriptorCount();
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(db_->CompactDatabase(), S_OK) << "round " << round;
    EXPECT_EQ(trovix::testing::OpenDescriptorCount(), open_descriptors) << "round " << round;
    ASSERT_EQ(db_->SearchRewind(handle), S_OK);
    ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
    EXPECT_EQ(record.FileID, report_);
  }
  ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
  EXPECT_EQ(record.FileID, reply_);
  EXPECT_EQ(WString(record.path), Utf8ToUtf16(docs_ + "/b.txt"));
  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), closed_descriptors);
  EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(DatabasePath()));
  EXPECT_EQ(db_->SearchNext(handle, v), E_UNEXPECTED);
  // Opened again, the lookup is prepared anew on the new connection.
  ASSERT_EQ(db_->Init(), S_OK);
  ASSERT_EQ(db_->SearchNext(handle, v), S_OK);
  EXPECT_EQ(record.FileID, notes_);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

// A reader in another connection holds the compaction in its wait for
// readers, with the module's connection closed, until it ends its read.
TEST_F(SearchTest, SearchesDuringACompactionAnswerUnexpectedAtOnce) {
  UINT handle = 0;
  ASSERT_EQ(db_->SearchOpenWord(u"budget", &handle), S_OK);
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM Files", nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::thread compactor([&] {
    ComInit com;
    ComPtr<ITrovixDB> other = Create();
    EXPECT_EQ(other->CompactDatabase(), S_OK);
  });
  while (db_->IsCompacting() != S_OK) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  SearchResultRecord record{};
  UINT untouched = 77;
  EXPECT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), E_UNEXPECTED);
  EXPECT_EQ(db_->SearchOpenWord(u"budget", &untouched), E_UNEXPECTED);
  EXPECT_EQ(db_->SearchOpenFileType(u"*", &untouched), E_UNEXPECTED);
  EXPECT_EQ(untouched, 77u);
  EXPECT_EQ(db_->IsCompacting(), S_OK) << "the reader holds the compaction";
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  compactor.join();
  EXPECT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
  EXPECT_EQ(record.FileID, report_);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
}

// Word searches take the write mutex and then the critical section, in the
// order of the connection's open and close steps; the reverse order let a
// search and a Cleanup on another thread wait on each other for good.
TEST_F(SearchTest, WordSearchesAndCloseStepsOnTwoThreadsDoNotDeadlock) {
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 600 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done) {
      std::fprintf(stderr, "deadlock between SearchOpenWord and Cleanup\n");
      std::abort();
    }
  });
  std::atomic<bool> closing{true};
  std::thread closer([&] {
    ComInit com;
    ComPtr<ITrovixDB> other = Create();
    for (int i = 0; i < 60; ++i) {
      EXPECT_EQ(other->Cleanup(), S_OK);
      EXPECT_EQ(other->Init(), S_OK);
    }
    closing = false;
  });
  while (closing) {
    UINT handle = 0;
    const HRESULT hr = db_->SearchOpenWord(u"budget report", &handle);
    EXPECT_TRUE(hr == S_OK || hr == E_UNEXPECTED) << hr;
    if (hr == S_OK) {
      EXPECT_EQ(db_->SearchClose(handle), S_OK);
    }
  }
  closer.join();
  done = true;
  watchdog.join();
}

}  // namespace
}  // namespace ordalis::testing
