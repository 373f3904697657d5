// Compaction, the statistics counters and the last indexed file, through the
// component's interface on a real database: compaction must keep every row,
// win the space deletions leave, recount the counters, and either succeed or
// fail cleanly (database unchanged and reopened) while other processes have
// the database open or are reading it.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using std::chrono::milliseconds;

// A client program (ordalis_client) running the given steps, with pipes to
// its standard input and output.
class Client {
 public:
  explicit Client(const std::vector<std::string>& steps) {
    std::vector<std::string> args{ClientProgramPath()};
    args.insert(args.end(), steps.begin(), steps.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to_child[0], STDIN_FILENO);
      dup2(from_child[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    input_ = to_child[1];
    output_fd_ = from_child[0];
  }
  ~Client() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      static_cast<void>(Finish());
    }
  }

  // Reads the output until `text` appears after what earlier waits found.
  bool WaitFor(const std::string& text) {
    char buffer[256];
    std::size_t at;
    while ((at = output_.find(text, seen_)) == std::string::npos) {
      const ssize_t n = read(output_fd_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    seen_ = at + text.size();
    return true;
  }
  // Ends a "hold-open" step.
  void Continue() { ASSERT_EQ(write(input_, "\n", 1), 1); }
  // Lets the client run to its end; its exit status.
  int Finish() {
    close(input_);
    char buffer[256];
    ssize_t n;
    while ((n = read(output_fd_, buffer, sizeof buffer)) > 0) output_.append(buffer, n);
    close(output_fd_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
  std::size_t seen_ = 0;
};

class MaintenanceTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    ASSERT_EQ(RegisterBuiltTextFilter(), S_OK);
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    folder_ = tree_->home() + "/docs";
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    if (db_) static_cast<void>(db_->Cleanup());
    db_.reset();
    OrdalisTest::TearDown();
  }

  WString Index(const std::string& name, const std::string& text) {
    const std::string path = folder_ + "/" + name;
    trovix::testing::WriteFile(path, text);
    const WString wide = Utf8ToUtf16(path);
    EXPECT_EQ(db_->AddFile(wide.c_str()), S_OK) << path;
    EXPECT_EQ(db_->IndexFile(wide.c_str(), nullptr, nullptr), S_OK) << path;
    return wide;
  }

  // `files` files of 300 words drawn from 4000 random ones, so that the
  // word index spreads over many pages.
  std::vector<WString> IndexMany(int files) {
    std::mt19937 random(11);
    std::vector<std::string> vocabulary(4000);
    for (std::string& word : vocabulary) {
      for (int n = 4 + random() % 8; n > 0; --n) word += static_cast<char>('a' + random() % 26);
    }
    std::vector<WString> paths;
    for (int i = 0; i < files; ++i) {
      std::string text;
      for (int w = 0; w < 300; ++w) text += vocabulary[random() % vocabulary.size()] + " ";
      paths.push_back(Index("file" + std::to_string(i) + ".txt", text));
    }
    return paths;
  }

  // Runs `sql` on a connection of the test's own; the rows as text, one
  // line per row, columns separated by "|".
  std::string Query(const std::string& sql) {
    sqlite3* db = nullptr;
    std::string rows;
    EXPECT_EQ(sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        rows += (c > 0 ? "|" : "") + std::string(text != nullptr ? text : "NULL");
      }
      rows += "\n";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  // Every row of every table, in key order.
  std::string Dump() {
    return Query("SELECT * FROM Drives ORDER BY 1") +
           Query("SELECT * FROM Directories ORDER BY 1") + Query("SELECT * FROM Files ORDER BY 1") +
           Query("SELECT * FROM Words ORDER BY 1") +
           Query("SELECT * FROM FilesWords ORDER BY 1, 2") +
           Query("SELECT * FROM DatabaseInfo ORDER BY 1");
  }

  UINT Counter(HRESULT (ITrovixDB::*getter)(UINT*)) {
    UINT value = 0;
    EXPECT_EQ((db_.get()->*getter)(&value), S_OK);
    return value;
  }
  UINT FileSize() { return Counter(&ITrovixDB::GetDBFileSize); }

  std::string CopyPath() const {
    return std::filesystem::path(DatabasePath()).parent_path().string() + "/TX_1.TMP";
  }
  std::string Log() const {
    return trovix::testing::ReadFile(tree_->state() + "/Quillon/trovlog.txt");
  }

  ComPtr<ITrovixDB> db_;
  std::string folder_;
};

TEST_F(MaintenanceTest, CompactionKeepsEveryRowWinsTheFreeSpaceAndRecountsTheCounters) {
  const std::vector<WString> paths = IndexMany(120);
  for (std::size_t i = 0; i < paths.size(); i += 2) {
    ASSERT_EQ(db_->UnIndexFile(paths[i].c_str(), 0), S_OK);
    if (i % 4 == 0) {
      ASSERT_EQ(db_->DeleteFileHard(paths[i].c_str()), S_OK);
    }
  }
  // A row the counters do not know of, and a stale copy: the recount must
  // find the one and the compaction replace the other.
  Query("INSERT INTO Files (DirectoryID, Name) SELECT min(DirectoryID), 'x' FROM Directories");
  trovix::testing::WriteFile(CopyPath(), "stale");
  Query("PRAGMA wal_checkpoint(TRUNCATE)");  // the file holds every page
  const UINT before = FileSize();
  UINT space = 0;
  ASSERT_EQ(db_->GetCompactionSpaceFree(&space), S_OK);
  EXPECT_GT(space, before / 4);
  const std::string rows = Dump();
  const int descriptors = trovix::testing::OpenDescriptorCount();

  ASSERT_EQ(db_->CompactDatabase(), S_OK);
  // Fewer is fine: the engine defers closing the descriptors of the test's
  // own connections while the module's holds locks on the same file.
  EXPECT_LE(trovix::testing::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(Dump(), rows);
  EXPECT_EQ(Query("PRAGMA integrity_check"), "ok\n");
  const UINT after = FileSize();
  EXPECT_LT(after, before);
  EXPECT_LE(before - after, space) << "the estimate counts every byte a compaction can win";
  UINT space_after = 0;
  ASSERT_EQ(db_->GetCompactionSpaceFree(&space_after), S_OK);
  EXPECT_LT(space_after, space / 4);
  EXPECT_EQ(std::to_string(Counter(&ITrovixDB::GetProcessedFileCount)) + "\n",
            Query("SELECT Count(*) FROM Files"));
  EXPECT_EQ(std::to_string(Counter(&ITrovixDB::GetIndexedFileCount)) + "\n",
            Query("SELECT Count(DISTINCT FileID) FROM FilesWords"));
  EXPECT_FALSE(std::filesystem::exists(CopyPath()));
  EXPECT_EQ(db_->IsCompacting(), S_FALSE);
  // The reopened connection serves the catalogue as before.
  INT id = 0;
  EXPECT_EQ(db_->GetFileID(paths[1].c_str(), &id), S_OK);
  EXPECT_EQ(Index("new.txt", "words after the compaction"), Utf8ToUtf16(folder_ + "/new.txt"));
}

TEST_F(MaintenanceTest, AnotherProcessKeepingTheDatabaseOpenSeesTheCompactedRows) {
  IndexMany(20);
  Client client({"init", "hold-open", "count", "cleanup"});
  ASSERT_TRUE(client.WaitFor("holding open")) << client.output();
  const std::string rows = Dump();
  ASSERT_EQ(db_->CompactDatabase(), S_OK);
  client.Continue();
  ASSERT_EQ(client.Finish(), 0) << client.output();
  EXPECT_NE(client.output().find("count files=20 indexed=20"), std::string::npos)
      << client.output();
  EXPECT_NE(client.output().find("cleanup 0x00000000"), std::string::npos) << client.output();
  EXPECT_EQ(Dump(), rows);
  EXPECT_EQ(Query("PRAGMA integrity_check"), "ok\n");
}

// A reader in another process holds the compaction back; meanwhile the
// process that compacts refuses a second compaction and the file size.
TEST_F(MaintenanceTest, CompactionWaitsForAReaderAndRunsOnceAtATime) {
  const std::vector<WString> paths = IndexMany(20);
  ASSERT_EQ(db_->UnIndexFile(paths[0].c_str(), 0), S_OK);  // leaves frames to checkpoint
  Client client({"init", "read-begin", "hold-open", "read-end", "cleanup"});
  ASSERT_TRUE(client.WaitFor("holding open")) << client.output();
  ASSERT_NE(client.output().find("read-begin 0x00000000"), std::string::npos) << client.output();
  const std::string rows = Dump();

  auto compaction = std::async(std::launch::async, [] {
    ComInit com;
    ComPtr<ITrovixDB> db;
    EXPECT_EQ(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                               db.put_void()),
              S_OK);
    return db->CompactDatabase();
  });
  for (int i = 0; i < 500 && db_->IsCompacting() != S_OK; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_EQ(db_->IsCompacting(), S_OK);
  EXPECT_EQ(db_->CompactDatabase(), E_UNEXPECTED);
  UINT value = 0;
  EXPECT_EQ(db_->GetDBFileSize(&value), E_UNEXPECTED);
  EXPECT_EQ(compaction.wait_for(milliseconds(300)), std::future_status::timeout);
  client.Continue();
  EXPECT_EQ(compaction.get(), S_OK);
  EXPECT_EQ(client.Finish(), 0) << client.output();
  EXPECT_EQ(Dump(), rows);
  EXPECT_EQ(Query("PRAGMA integrity_check"), "ok\n");
}

TEST_F(MaintenanceTest, AReaderOutlastingTheWaitFailsTheCompactionCleanly) {
  const std::vector<WString> paths = IndexMany(10);
  ASSERT_EQ(db_->UnIndexFile(paths[0].c_str(), 0), S_OK);
  Client client({"init", "read-begin", "hold-open", "read-end", "cleanup"});
  ASSERT_TRUE(client.WaitFor("holding open")) << client.output();
  const std::string rows = Dump();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(db_->CompactDatabase(), E_FAIL);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(14));
  EXPECT_NE(Log().find("HRESULT:[0x80030020]"), std::string::npos) << Log();
  EXPECT_EQ(Dump(), rows);
  // Reopened, with the counters as they were.
  INT id = 0;
  EXPECT_EQ(db_->GetFileID(paths[1].c_str(), &id), S_OK);
  EXPECT_EQ(Counter(&ITrovixDB::GetIndexedFileCount), 9u);
  EXPECT_EQ(db_->IsCompacting(), S_FALSE);

  client.Continue();
  EXPECT_EQ(client.Finish(), 0) << client.output();
  EXPECT_EQ(db_->CompactDatabase(), S_OK);
  EXPECT_EQ(Dump(), rows);
}

TEST_F(MaintenanceTest, ACopyThatCannotBeDeletedStopsTheCompactionFirst) {
  const WString a = Index("a.txt", "some words");
  std::filesystem::create_directories(CopyPath() + "/inside");
  const std::string rows = Dump();
  EXPECT_EQ(db_->CompactDatabase(), E_FAIL);
  EXPECT_EQ(Dump(), rows);
  EXPECT_EQ(db_->IsCompacting(), S_FALSE);
  INT id = 0;
  EXPECT_EQ(db_->GetFileID(a.c_str(), &id), S_OK) << "the database stays open";
}

TEST_F(MaintenanceTest, AnswersOfAClosedDatabase) {
  Index("a.txt", "counted before closing");
  ASSERT_EQ(db_->Cleanup(), S_OK);
  UINT value = 7;
  EXPECT_EQ(db_->CompactDatabase(), E_UNEXPECTED);
  EXPECT_EQ(db_->RequeryStatistics(), E_UNEXPECTED);
  EXPECT_EQ(db_->GetCompactionSpaceFree(&value), E_UNEXPECTED);
  EXPECT_EQ(db_->GetCompactionSpaceFree(nullptr), E_POINTER);
  EXPECT_EQ(db_->GetIndexedFileCount(&value), E_UNEXPECTED);
  EXPECT_EQ(db_->GetCompactionStats(&value, &value, &value), E_UNEXPECTED);
  EXPECT_EQ(db_->GetProcessedFileCount(&value), S_OK);
  EXPECT_EQ(value, 1u) << "the value counted so far";
  EXPECT_EQ(db_->IsCompacting(), S_FALSE);
  // The file size needs no open database.
  EXPECT_EQ(db_->GetDBFileSize(nullptr), E_INVALIDARG);
  ASSERT_EQ(db_->GetDBFileSize(&value), S_OK);
  EXPECT_EQ(value, std::filesystem::file_size(DatabasePath()));

  // A newly loaded module has counted nothing yet and indexed nothing.
  db_.reset();
  CoFreeUnusedLibraries();
  ASSERT_FALSE(ModuleIsLoaded());
  db_ = Create();
  EXPECT_EQ(db_->GetProcessedFileCount(&value), S_OK);
  EXPECT_EQ(value, 0u);
  UINT n = MAX_PATH;
  WCHAR path[MAX_PATH];
  EXPECT_EQ(db_->GetLastIndexedFile(path, &n), E_UNEXPECTED);
  EXPECT_EQ(db_->CompactDatabase(), E_UNEXPECTED);
  ASSERT_EQ(db_->Init(), S_OK);
}

TEST_F(MaintenanceTest, CountersFollowTheCatalogueAndTheRecount) {
  const WString a = Index("a.txt", "alpha words here");
  Index("b.txt", "bravo words here");
  ASSERT_EQ(db_->UpdateFile(a.c_str()), S_OK);
  UINT added = 0;
  UINT updated = 0;
  UINT indexed = 0;
  EXPECT_EQ(db_->GetCompactionStats(&added, &updated, &indexed), S_OK);
  EXPECT_EQ(std::make_tuple(added, updated, indexed), std::make_tuple(2u, 1u, 2u));
  added = updated = indexed = 0;
  EXPECT_EQ(db_->GetCompactionStats(&added, nullptr, &indexed), S_FALSE);
  EXPECT_EQ(std::make_tuple(added, indexed), std::make_tuple(2u, 2u));
  EXPECT_EQ(db_->GetIndexedFileCount(nullptr), E_POINTER);
  EXPECT_EQ(db_->GetProcessedFileCount(nullptr), E_POINTER);

  // Rows written behind the module's back are found by the recount only.
  Query("INSERT INTO Files (DirectoryID, Name) SELECT min(DirectoryID), 'x' FROM Directories;");
  Query("DELETE FROM FilesWords WHERE FileID = (SELECT min(FileID) FROM Files)");
  EXPECT_EQ(Counter(&ITrovixDB::GetProcessedFileCount), 2u);
  ASSERT_EQ(db_->RequeryStatistics(), S_OK);
  EXPECT_EQ(Counter(&ITrovixDB::GetProcessedFileCount), 3u);
  EXPECT_EQ(Counter(&ITrovixDB::GetIndexedFileCount), 1u);
}

TEST_F(MaintenanceTest, LastIndexedFileComesFromThisProcessElseFromTheDatabase) {
  UINT n = MAX_PATH + 1;
  WCHAR path[MAX_PATH + 1];
  EXPECT_EQ(db_->GetLastIndexedFile(path, nullptr), E_INVALIDARG);
  // Catalogued files without words: the database names none.
  const std::string loose = folder_ + "/loose.txt";
  trovix::testing::WriteFile(loose, "not indexed");
  ASSERT_EQ(db_->AddFile(Utf8ToUtf16(loose).c_str()), S_OK);
  EXPECT_EQ(db_->GetLastIndexedFile(path, &n), DB_S_ENDOFROWSET);

  const WString a = Index("a.txt", "first file");
  const WString b = Index("b.txt", "second file");
  // The database says a.txt, this process knows better.
  Query("UPDATE Files SET TXLastUpdate = 99999 WHERE Name = 'a.txt'");
  n = MAX_PATH + 1;
  ASSERT_EQ(db_->GetLastIndexedFile(path, &n), S_OK);
  EXPECT_EQ(WString(path), b);
  EXPECT_EQ(n, b.size() + 1);
  // The size-query protocol: no buffer, then one unit too few.
  n = 0;
  EXPECT_EQ(db_->GetLastIndexedFile(nullptr, &n), S_FALSE);
  EXPECT_EQ(n, b.size() + 1);
  n = static_cast<UINT>(b.size());
  path[0] = u'#';
  EXPECT_EQ(db_->GetLastIndexedFile(path, &n), E_INVALIDARG);
  EXPECT_EQ(n, b.size() + 1);
  EXPECT_EQ(path[0], u'#');

  // A new process knows only what the database says.
  ASSERT_EQ(db_->Cleanup(), S_OK);
  db_.reset();
  CoFreeUnusedLibraries();
  db_ = Create();
  ASSERT_EQ(db_->Init(), S_OK);
  n = static_cast<UINT>(a.size());
  EXPECT_EQ(db_->GetLastIndexedFile(path, &n), E_INVALIDARG);
  ASSERT_EQ(db_->GetLastIndexedFile(path, &n), S_OK);
  EXPECT_EQ(WString(path), a);
}

}  // namespace
}  // namespace ordalis::testing
