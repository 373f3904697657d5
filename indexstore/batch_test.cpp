// The batch interface through the component: files prepared in memory and
// written many per transaction must end exactly as AddFile and IndexFile
// leave them, be visible and counted only after the commit, vanish whole on
// an abort, and be prepared while another thread holds the write mutex; a
// walk reads folders while a batch is open, and the batch learns who waits.
#include <sqlite3.h>

#include <filesystem>
#include <future>
#include <map>
#include <set>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"
#include "shared/itrovixbatch.h"

namespace ordalis::testing {
namespace {

using Rows = std::map<std::string, long>;

class BatchTest : public OpenedStoreTest {
 protected:
  void SetUp() override {
    OpenedStoreTest::SetUp();
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixBatch, batch_.put_void()), S_OK);
    folder_ = tree_->home() + "/docs/";
    std::filesystem::create_directories(folder_ + "inner");
  }
  void TearDown() override {
    batch_.reset();
    OpenedStoreTest::TearDown();
  }

  std::string Write(const std::string& name, const std::string& text) {
    trovix::testing::WriteFile(folder_ + name, text);
    return folder_ + name;
  }

  PreparedFile* Prepare(const std::string& path) {
    PreparedFile* file = nullptr;
    EXPECT_EQ(batch_->PrepareFile(Utf8ToUtf16(path).c_str(), nullptr, &file), S_OK) << path;
    return file;
  }

  // Writes `paths` in one batch; the answers of WritePrepared in order.
  std::vector<HRESULT> WriteBatch(const std::vector<std::string>& paths) {
    std::vector<PreparedFile*> files;
    for (const std::string& path : paths) files.push_back(Prepare(path));
    std::vector<HRESULT> answers;
    EXPECT_EQ(batch_->BeginBatch(), S_OK);
    for (PreparedFile* file : files) answers.push_back(batch_->WritePrepared(file));
    EXPECT_EQ(batch_->CommitBatch(), S_OK);
    for (PreparedFile* file : files) batch_->ReleasePrepared(file);
    return answers;
  }

  // "file word" → count of the words of the files' texts, in the term index
  // (what batches write) and in the word index (what IndexFile writes),
  // read by a connection of its own (what other processes see).
  Rows WordRows() {
    return Query(
        "SELECT Files.Name || ' ' || lower(Words.Word), FilesWords.WordCount FROM FilesWords, "
        "Words, Files WHERE FilesWords.WordID = Words.ID AND FilesWords.FileID = Files.FileID "
        "UNION ALL SELECT Files.Name || ' ' || Terms.Term, FileTerms.Freq >> 1 FROM FileTerms, "
        "Terms, Files WHERE FileTerms.TermID = Terms.TermID AND FileTerms.FileID = Files.FileID "
        "AND FileTerms.Freq >= 2");
  }
  Rows Query(const std::string& sql) {
    Rows rows;
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        rows[reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))] +=
            sqlite3_column_int64(stmt, 1);
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }
  UINT IndexedCount() {
    UINT count = 0;
    EXPECT_EQ(db_->GetIndexedFileCount(&count), S_OK);
    return count;
  }

  ComPtr<ITrovixBatch> batch_;
  std::string folder_;
};

// Collects ReadFolder's rows.
class RowList final : public ICatalogueRowSink {
 public:
  HRESULT Row(const CatalogueRow& row) override {
    rows[Utf16ToUtf8(row.name)] = row.has_words != 0;
    return S_OK;
  }
  std::map<std::string, bool> rows;  // name → has words
};

TEST_F(BatchTest, BatchedFilesEndAsFileByFileIndexingLeavesThem) {
  const std::string one = Write("one.txt", "alpha beta beta gamma");
  const std::string two = Write("two.txt", "gamma delta");
  const std::string three = Write("three.txt", "epsilon alpha");
  EXPECT_EQ(WriteBatch({one, two}), (std::vector<HRESULT>{S_OK, S_OK}));
  const WString third = Utf8ToUtf16(three);
  ASSERT_EQ(db_->AddFile(third.c_str()), S_OK);
  ASSERT_EQ(db_->IndexFile(third.c_str(), nullptr, nullptr), S_OK);
  EXPECT_EQ(WordRows(), (Rows{{"one.txt alpha", 1},
                              {"one.txt beta", 2},
                              {"one.txt gamma", 1},
                              {"two.txt gamma", 1},
                              {"two.txt delta", 1},
                              {"three.txt epsilon", 1},
                              {"three.txt alpha", 1}}));
  EXPECT_EQ(IndexedCount(), 3u);
  // A changed file written again keeps one row, and only its new words.
  Write("one.txt", "zeta");
  EXPECT_EQ(WriteBatch({one}), std::vector<HRESULT>{S_OK});
  EXPECT_EQ(Query("SELECT Name, 1 FROM Files"),
            (Rows{{"one.txt", 1}, {"two.txt", 1}, {"three.txt", 1}}));
  EXPECT_EQ(WordRows().count("one.txt alpha"), 0u);
  EXPECT_EQ(WordRows().at("one.txt zeta"), 1);
  EXPECT_EQ(IndexedCount(), 3u);
  WCHAR last[MAX_PATH + 1] = {};
  UINT size = MAX_PATH + 1;
  ASSERT_EQ(db_->GetLastIndexedFile(last, &size), S_OK);
  EXPECT_EQ(Utf16ToUtf8(last), one);
}

TEST_F(BatchTest, AFileWrittenAgainGetsExactlyItsNewWordsAndAnUnchangedOneDirtiesAlmostNothing) {
  // Many distinct words: rewriting all of them would touch hundreds of pages
  // of the word-to-file index.
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "word" + std::to_string(i) + " ";
  const std::string big = Write("big.txt", text);
  const std::string one = Write("one.txt", "alpha beta beta gamma");
  WriteBatch({big, one});
  const std::string wal = DatabasePath() + "-wal";
  const auto wal_size = [&] { return std::filesystem::file_size(wal); };
  const std::uintmax_t before = wal_size();
  WriteBatch({big});
  EXPECT_LT(wal_size() - before, 16u * 4096) << "an unchanged file rewrote its word rows";
  EXPECT_EQ(WordRows().size(), 3003u);

  // Lost, gained, recounted and kept words; "Beta" and "beta" are one word
  // whose counts add up, as file-by-file indexing counts them.
  Write("one.txt", "beta Beta beta delta alpha");
  EXPECT_EQ(WriteBatch({one}), std::vector<HRESULT>{S_OK});
  Rows rows = WordRows();
  std::erase_if(rows, [](const auto& row) { return row.first.starts_with("big.txt"); });
  EXPECT_EQ(rows, (Rows{{"one.txt alpha", 1}, {"one.txt beta", 3}, {"one.txt delta", 1}}));
  EXPECT_EQ(IndexedCount(), 2u);
}

TEST_F(BatchTest, NothingIsVisibleOrCountedBeforeTheCommitAndNothingStaysAfterAnAbort) {
  PreparedFile* file = Prepare(Write("one.txt", "alpha beta"));
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  ASSERT_EQ(batch_->WritePrepared(file), S_OK);
  EXPECT_TRUE(WordRows().empty());
  EXPECT_EQ(IndexedCount(), 0u);
  EXPECT_EQ(batch_->AbortBatch(), S_OK);
  EXPECT_TRUE(Query("SELECT Name, 1 FROM Files").empty());
  EXPECT_EQ(IndexedCount(), 0u);
  // The same handle is good for another batch.
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  ASSERT_EQ(batch_->WritePrepared(file), S_OK);
  ASSERT_EQ(batch_->CommitBatch(), S_OK);
  batch_->ReleasePrepared(file);
  EXPECT_EQ(WordRows().size(), 2u);
  EXPECT_EQ(IndexedCount(), 1u);
}

TEST_F(BatchTest, RemovingInsideABatchTakesWordsAndEntryAndLowersTheCount) {
  const std::string one = Write("one.txt", "alpha");
  const std::string two = Write("two.txt", "beta");
  WriteBatch({one, two});
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  EXPECT_EQ(batch_->RemoveFile(Utf8ToUtf16(one).c_str()), S_OK);
  EXPECT_EQ(batch_->RemoveFile(Utf8ToUtf16(folder_ + "never.txt").c_str()), S_FALSE);
  ASSERT_EQ(batch_->CommitBatch(), S_OK);
  EXPECT_EQ(WordRows(), (Rows{{"two.txt beta", 1}}));
  EXPECT_EQ(IndexedCount(), 1u);
  EXPECT_EQ(db_->FileInDB(Utf8ToUtf16(one).c_str()), S_FALSE);
}

TEST_F(BatchTest, ReadFolderGivesTheFolderOwnFilesInOneAnswer) {
  const std::string empty = Write("empty.txt", "");
  WriteBatch({Write("one.txt", "alpha"), Write("inner/deep.txt", "beta"), empty});
  RowList list;
  ASSERT_EQ(batch_->ReadFolder(Utf8ToUtf16(folder_).c_str(), &list), S_OK);
  // The term index holds every file a batch wrote, an empty one by the
  // terms of its name.
  EXPECT_EQ(list.rows, (std::map<std::string, bool>{{"one.txt", true}, {"empty.txt", true}}));
  RowList inner;
  const std::string without_slash = folder_ + "inner";
  ASSERT_EQ(batch_->ReadFolder(Utf8ToUtf16(without_slash).c_str(), &inner), S_OK);
  EXPECT_EQ(inner.rows, (std::map<std::string, bool>{{"deep.txt", true}}));
  RowList none;
  EXPECT_EQ(batch_->ReadFolder(Utf8ToUtf16(folder_ + "nowhere").c_str(), &none), S_FALSE);
  EXPECT_EQ(batch_->ReadFolder(u"relative/folder", &none), E_INVALIDARG);
  EXPECT_EQ(batch_->ReadFolder(Utf8ToUtf16(folder_).c_str(), nullptr), E_INVALIDARG);
  EXPECT_TRUE(none.rows.empty());
}

// Collects ReadFolders' paths.
class FolderList final : public ICatalogueFolderSink {
 public:
  HRESULT Folder(const WCHAR* path) override {
    paths.insert(Utf16ToUtf8(path));
    return S_OK;
  }
  std::set<std::string> paths;
};

TEST_F(BatchTest, ReadFoldersGivesTheFoldersBelowThatHoldFilesAndNoSiblingOfTheSameBeginning) {
  std::filesystem::create_directories(folder_ + "inner/deeper");
  std::filesystem::create_directories(folder_ + "in");
  std::filesystem::create_directories(folder_ + "emptied");
  const std::string odd = folder_ + "odd_%\xff/";
  std::filesystem::create_directories(odd);
  trovix::testing::WriteFile(odd + "x.txt", "gamma");
  const std::string sibling = tree_->home() + "/docs0/";
  std::filesystem::create_directories(sibling);
  trovix::testing::WriteFile(sibling + "s.txt", "delta");
  const std::string prefixed = tree_->home() + "/docsx/";
  std::filesystem::create_directories(prefixed);
  trovix::testing::WriteFile(prefixed + "p.txt", "delta");
  WriteBatch({Write("inner/deeper/deep.txt", "beta"), Write("in/a.txt", "alpha"),
              Write("emptied/e.txt", "alpha"), odd + "x.txt", sibling + "s.txt",
              prefixed + "p.txt"});
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  ASSERT_EQ(batch_->RemoveFile(Utf8ToUtf16(folder_ + "emptied/e.txt").c_str()), S_OK);
  ASSERT_EQ(batch_->CommitBatch(), S_OK);

  // No trailing '/' reads the same; the folder itself has no file of its own.
  for (const std::string& asked : {folder_, folder_.substr(0, folder_.size() - 1)}) {
    FolderList below;
    ASSERT_EQ(batch_->ReadFolders(Utf8ToUtf16(asked).c_str(), &below), S_OK) << asked;
    EXPECT_EQ(below.paths,
              (std::set<std::string>{folder_ + "inner/deeper/", folder_ + "in/", odd}));
  }
  FolderList all;
  ASSERT_EQ(batch_->ReadFolders(u"/", &all), S_OK);
  EXPECT_EQ(all.paths.size(), 5u);
  EXPECT_TRUE(all.paths.contains(sibling) && all.paths.contains(prefixed));
  FolderList none;
  EXPECT_EQ(batch_->ReadFolders(Utf8ToUtf16(folder_ + "nowhere").c_str(), &none), S_OK);
  EXPECT_TRUE(none.paths.empty());
  EXPECT_EQ(batch_->ReadFolders(u"relative", &none), E_INVALIDARG);
  EXPECT_EQ(batch_->ReadFolders(Utf8ToUtf16(folder_).c_str(), nullptr), E_INVALIDARG);
}

TEST_F(BatchTest, CallsOutOfOrderAndBadArgumentsChangeNothing) {
  PreparedFile* file = Prepare(Write("one.txt", "alpha"));
  EXPECT_EQ(batch_->WritePrepared(file), E_UNEXPECTED);
  EXPECT_EQ(batch_->RemoveFile(u"/x"), E_UNEXPECTED);
  EXPECT_EQ(batch_->CommitBatch(), E_UNEXPECTED);
  EXPECT_EQ(batch_->AbortBatch(), E_UNEXPECTED);
  PreparedFile* none = file;
  EXPECT_EQ(batch_->PrepareFile(u"relative.txt", nullptr, &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(batch_->PrepareFile(Utf8ToUtf16(folder_ + "gone.txt").c_str(), nullptr, &none),
            E_INVALIDARG);
  UINT stop = 0;
  EXPECT_EQ(batch_->PrepareFile(Utf8ToUtf16(folder_ + "one.txt").c_str(), &stop, &none), E_ABORT);
  EXPECT_EQ(none, nullptr);
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  EXPECT_EQ(batch_->BeginBatch(), E_UNEXPECTED);
  EXPECT_EQ(batch_->WritePrepared(nullptr), E_POINTER);
  // The database's own file is never catalogued.
  PreparedFile* database = Prepare(DatabasePath());
  EXPECT_EQ(batch_->WritePrepared(database), E_INVALIDARG);
  ASSERT_EQ(batch_->CommitBatch(), S_OK);
  batch_->ReleasePrepared(database);
  batch_->ReleasePrepared(file);
  EXPECT_TRUE(Query("SELECT Name, 1 FROM Files").empty());
}

TEST_F(BatchTest, FilesArePreparedWhileAnotherThreadHoldsTheWriteMutex) {
  const std::string path = Write("one.txt", "alpha beta");
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  auto prepared = std::async(std::launch::async, [path] {
    const ComInit com;
    // Not Init: it takes the write mutex, and preparing needs no open database.
    ComPtr<ITrovixBatch> batch;
    const HRESULT made = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_ITrovixBatch, batch.put_void());
    if (FAILED(made)) return made;
    PreparedFile* file = nullptr;
    const HRESULT hr = batch->PrepareFile(Utf8ToUtf16(path).c_str(), nullptr, &file);
    batch->ReleasePrepared(file);
    return hr;
  });
  // Would block until the abort if preparing took the write mutex.
  ASSERT_EQ(prepared.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(prepared.get(), S_OK);
  EXPECT_EQ(batch_->AbortBatch(), S_OK);
}

// Runs `call` with an object of its own on another thread, as another part of
// the process would.
template <typename Call>
std::future<HRESULT> OnAnotherThread(Call call) {
  return std::async(std::launch::async, [call] {
    const ComInit com;
    ComPtr<ITrovixDB> db;
    const HRESULT made = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_ITrovixDB, db.put_void());
    return FAILED(made) ? made : call(db.get());
  });
}

TEST_F(BatchTest, AnOpenBatchLetsFoldersBeReadAndSeesWhoWaitsForTheWriteMutex) {
  WriteBatch({Write("one.txt", "alpha")});
  PreparedFile* two = Prepare(Write("two.txt", "beta"));
  ASSERT_EQ(batch_->BeginBatch(), S_OK);
  ASSERT_EQ(batch_->WritePrepared(two), S_OK);
  EXPECT_EQ(batch_->Contended(), S_FALSE);
  auto read = OnAnotherThread([folder = folder_](ITrovixDB* db) -> HRESULT {
    ComPtr<ITrovixBatch> other;
    HRESULT hr = db->QueryInterface(IID_ITrovixBatch, other.put_void());
    RowList list;
    if (SUCCEEDED(hr)) hr = other->ReadFolder(Utf8ToUtf16(folder).c_str(), &list);
    // The process's own uncommitted row is seen with the committed one.
    return hr == S_OK && list.rows.size() == 2 && list.rows.at("one.txt") ? S_OK : E_FAIL;
  });
  const bool answered = read.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(answered) << "ReadFolder waited for the batch";
  if (!answered) {
    ASSERT_EQ(batch_->AbortBatch(), S_OK);  // lets the reader go
  }
  EXPECT_EQ(read.get(), S_OK);

  const WString one = Utf8ToUtf16(folder_ + "one.txt");
  auto waiter = OnAnotherThread([one](ITrovixDB* db) { return db->FileInDB(one.c_str()); });
  EXPECT_TRUE(trovix::testing::WaitUntil([&] { return batch_->Contended() == S_OK; }));
  ASSERT_EQ(batch_->CommitBatch(), S_OK);
  EXPECT_EQ(waiter.get(), S_OK);
  EXPECT_EQ(batch_->Contended(), S_FALSE);
  batch_->ReleasePrepared(two);
  EXPECT_EQ(WordRows(), (Rows{{"one.txt alpha", 1}, {"two.txt beta", 1}}));
}

// Databases made before pages grew to 4 KiB keep their 1 KiB pages: they open
// and take batches as before.
TEST_F(BatchTest, ADatabaseWithTheEarlierSmallPagesStillTakesBatches) {
  ASSERT_EQ(db_->Cleanup(), S_OK);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw,
                         "PRAGMA journal_mode=DELETE; PRAGMA page_size=1024; VACUUM; "
                         "PRAGMA journal_mode=WAL;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  EXPECT_EQ(Query("SELECT 'page', page_size FROM pragma_page_size"), (Rows{{"page", 1024}}));
  ASSERT_EQ(db_->Init(), S_OK);
  WriteBatch({Write("one.txt", "alpha beta alpha")});
  EXPECT_EQ(WordRows(), (Rows{{"one.txt alpha", 2}, {"one.txt beta", 1}}));
  EXPECT_EQ(IndexedCount(), 1u);
}

}  // namespace
}  // namespace ordalis::testing
