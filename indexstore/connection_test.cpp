// Opening and closing the module's database: the default location, the
// path and name getters, Init and Cleanup with the counters in the registry,
// across threads and processes, and the answers to damaged or missing files.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "indexstore/engine.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

using trovix::testing::ReadFile;
using trovix::testing::RunProcess;

class ConnectionTest : public OrdalisTest {
 protected:
  // Runs SQL on the database file from outside the index store.
  void Execute(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  // The counters the registry holds, or -1 for a missing value.
  std::pair<long, long> StoredCounters() {
    RegKey key;
    DWORD indexed = 0;
    DWORD processed = 0;
    if (RegKey::Open(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key) !=
        ERROR_SUCCESS) {
      return {-1, -1};
    }
    return {key.GetDword(u"Files Indexed", &indexed) == ERROR_SUCCESS ? long(indexed) : -1,
            key.GetDword(u"Files Processed", &processed) == ERROR_SUCCESS ? long(processed) : -1};
  }

  void StoreCounters(DWORD indexed, DWORD processed) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"Files Indexed", indexed), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"Files Processed", processed), ERROR_SUCCESS);
  }

  // Two catalogued files, one of them with words.
  void AddRows() {
    Execute(
        "INSERT INTO Drives VALUES (1, 3, '/');"
        "INSERT INTO Directories VALUES (1, 'home/', 1);"
        "INSERT INTO Files (FileID, DirectoryID, Name) VALUES (1, 1, 'a.txt'), (2, 1, 'b.txt');"
        "INSERT INTO Words VALUES (1, 'alpha'), (2, 'beta');"
        "INSERT INTO FilesWords VALUES (1, 1, 3), (1, 2, 1);");
  }

  std::string LogPath() const { return tree_->state() + "/Quillon/trovlog.txt"; }
};

TEST_F(ConnectionTest, DefaultPathFollowsTheDataHomeOrTheHomeFolder) {
  ASSERT_EQ(DatabasePath(), tree_->data() + "/Quillon/Ordalis.mdb");
  CreateDatabaseFile();
  {
    ComPtr<ITrovixDB> db = Create();
    ASSERT_EQ(db->Init(), S_OK);
    WCHAR name[MAX_PATH + 1];
    UINT n = MAX_PATH + 1;
    ASSERT_EQ(db->GetDBFileName(name, &n), S_OK);
    EXPECT_EQ(Utf16ToUtf8(name), tree_->data() + "/Quillon/Ordalis.mdb");
    ASSERT_EQ(db->Cleanup(), S_OK);
  }
  CoFreeUnusedLibraries();  // the next load computes the path afresh

  unsetenv("XDG_DATA_HOME");
  ASSERT_EQ(DatabasePath(), tree_->home() + "/.local/share/Quillon/Ordalis.mdb");
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  UINT n = 0;
  ASSERT_EQ(db->GetDBFileName(nullptr, &n), S_FALSE);
  EXPECT_EQ(n, DatabasePath().size() + 1);
  ASSERT_EQ(db->Cleanup(), S_OK);
}

TEST_F(ConnectionTest, DatabaseNameRulesAndSizeQuery) {
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db = Create();
  EXPECT_EQ(db->GetDBFileName(nullptr, nullptr), E_INVALIDARG);
  UINT n = 0;
  EXPECT_EQ(db->GetDBFileName(nullptr, &n), E_UNEXPECTED);

  EXPECT_EQ(db->SetDBFileName(nullptr), E_INVALIDARG);
  EXPECT_EQ(db->SetDBFileName(u""), E_INVALIDARG);
  const WString too_long = u"/" + WString(MAX_PATH, u'x');
  EXPECT_EQ(db->SetDBFileName(too_long.c_str()), E_INVALIDARG);
  EXPECT_EQ(db->SetDBFileName(too_long.substr(0, MAX_PATH).c_str()), S_OK);
  // The path set last wins; an opened database refuses any new path.
  ASSERT_EQ(db->SetDBFileName(Utf8ToUtf16(DatabasePath()).c_str()), S_OK);
  ASSERT_EQ(db->Init(), S_OK);
  EXPECT_EQ(db->SetDBFileName(nullptr), E_UNEXPECTED);
  EXPECT_EQ(db->SetDBFileName(u"/tmp/other.mdb"), E_UNEXPECTED);

  const WString expected = Utf8ToUtf16(DatabasePath());
  ASSERT_EQ(db->GetDBFileName(nullptr, &n), S_FALSE);
  ASSERT_EQ(n, expected.size() + 1);
  std::vector<WCHAR> buffer(n, u'#');
  UINT small = n - 1;
  EXPECT_EQ(db->GetDBFileName(buffer.data(), &small), E_INVALIDARG);
  EXPECT_EQ(small, n);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(db->GetDBFileName(buffer.data(), &n), S_OK);
  EXPECT_EQ(WString(buffer.data()), expected);
  ASSERT_EQ(db->Cleanup(), S_OK);
}

TEST_F(ConnectionTest, InitAndCleanupActOnTheWholeProcess) {
  CreateDatabaseFile();
  ComPtr<ITrovixDB> first = Create();
  ComPtr<ITrovixDB> second = Create();
  EXPECT_EQ(first->Init(), S_OK);
  EXPECT_EQ(second->Init(), E_UNEXPECTED);
  EXPECT_EQ(first->Init(), E_UNEXPECTED);
  // An object made on another thread shares the connection.
  std::thread([] {
    ComInit com;
    ComPtr<ITrovixDB> db;
    ASSERT_EQ(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                               db.put_void()),
              S_OK);
    UINT n = 0;
    EXPECT_EQ(db->GetDBFileName(nullptr, &n), S_FALSE);
  }).join();
  EXPECT_EQ(second->Cleanup(), S_OK);
  EXPECT_EQ(first->Cleanup(), E_UNEXPECTED);
  EXPECT_EQ(first->Init(), S_OK);
  EXPECT_EQ(first->Cleanup(), S_OK);
}

TEST_F(ConnectionTest, CountersRoundTripThroughTheRegistry) {
  CreateDatabaseFile();
  ComPtr<ITrovixDB> db = Create();
  // Cleanup without Init still saves the (zero) counters.
  EXPECT_EQ(db->Cleanup(), E_UNEXPECTED);
  EXPECT_EQ(StoredCounters(), std::make_pair(0L, 0L));

  // Stored counters are taken as they are (the database holds no rows) and
  // removed at once, then saved again by Cleanup.
  StoreCounters(7, 9);
  ASSERT_EQ(db->Init(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(-1L, -1L));
  ASSERT_EQ(db->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(7L, 9L));
}

TEST_F(ConnectionTest, MissingCountersAreRecountedFromTheDatabase) {
  CreateDatabaseFile();
  AddRows();
  {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Ordalis", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(u"Files Indexed", 50), ERROR_SUCCESS);  // one value alone
  }
  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  ASSERT_EQ(db->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(1L, 2L));
}

TEST_F(ConnectionTest, CountersSurviveACleanExitAndAreRecountedAfterADeadProcess) {
  CreateDatabaseFile();
  AddRows();
  com_.reset();  // the client processes are the only users here
  std::string output;
  ASSERT_EQ(RunProcess({ClientProgramPath(), "init", "cleanup"}, &output), 0) << output;
  EXPECT_NE(output.find("init 0x00000000"), std::string::npos) << output;
  EXPECT_EQ(StoredCounters(), std::make_pair(1L, 2L));

  // Bump the stored counters: a process that ends without Cleanup has taken
  // them out of the registry, so they are not there to be trusted later.
  StoreCounters(100, 200);
  output.clear();
  EXPECT_EQ(RunProcess({ClientProgramPath(), "init", "abort"}, &output), 3) << output;
  EXPECT_EQ(StoredCounters(), std::make_pair(-1L, -1L));

  output.clear();
  ASSERT_EQ(RunProcess({ClientProgramPath(), "init", "cleanup"}, &output), 0) << output;
  EXPECT_EQ(StoredCounters(), std::make_pair(1L, 2L));
}

TEST_F(ConnectionTest, AKilledHolderOfTheDatabaseLeavesItUsable) {
  CreateDatabaseFile();
  AddRows();
  int to_parent[2];
  ASSERT_EQ(pipe(to_parent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(to_parent[1], STDOUT_FILENO);
    execl(ClientProgramPath().c_str(), "ordalis_client", "init", "hold", nullptr);
    _exit(127);
  }
  close(to_parent[1]);
  std::string seen;
  char buffer[256];
  ssize_t n;
  while (seen.find("holding") == std::string::npos &&
         (n = read(to_parent[0], buffer, sizeof buffer)) > 0) {
    seen.append(buffer, n);
  }
  close(to_parent[0]);
  ASSERT_NE(seen.find("init 0x00000000"), std::string::npos) << seen;
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);

  ComPtr<ITrovixDB> db = Create();
  ASSERT_EQ(db->Init(), S_OK);
  ASSERT_EQ(db->Cleanup(), S_OK);
  EXPECT_EQ(StoredCounters(), std::make_pair(1L, 2L));
}

TEST_F(ConnectionTest, WriteMutexHeldByAnotherProcessHoldsInitBack) {
  CreateDatabaseFile();
  int go[2];
  int ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex mutex("TrovixWriteMutex");
    char byte = 0;
    const bool held = mutex.Wait(INFINITE) == WAIT_OBJECT_0;
    if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
    _exit(held ? 0 : 1);  // dying releases the mutex
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ComInit com;
    ComPtr<ITrovixDB> db;
    ASSERT_EQ(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                               db.put_void()),
              S_OK);
    EXPECT_EQ(db->Init(), S_OK);
    done = true;
    EXPECT_EQ(db->Cleanup(), S_OK);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done) << "Init ran while another process held the write mutex";
  ASSERT_EQ(write(go[1], &byte, 1), 1);
  worker.join();
  EXPECT_TRUE(done);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ConnectionTest, MissingOrBadDatabasesFailInitWithoutBeingTouched) {
  ComPtr<ITrovixDB> db = Create();
  const std::string path = DatabasePath();
  // Missing: nothing is created.
  EXPECT_EQ(db->Init(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists(path));

  // Not a database: the bytes stay as they were.
  const std::string garbage(8192, '\x5a');
  trovix::testing::WriteFile(path, garbage);
  EXPECT_EQ(db->Init(), TRVX_E_ENGINE_NOTADB);
  EXPECT_EQ(ReadFile(path), garbage);
  std::filesystem::remove(path);

  // A database of the suite with the wrong password or a table missing.
  CreateDatabaseFile();
  Execute("UPDATE DatabaseInfo SET Value = 'other' WHERE Name = 'Password'");
  EXPECT_EQ(db->Init(), DB_SEC_E_AUTH_FAILED);
  Execute("DELETE FROM DatabaseInfo");
  EXPECT_EQ(db->Init(), DB_SEC_E_AUTH_FAILED);
  std::filesystem::remove(path);
  CreateDatabaseFile();
  Execute("DROP TABLE FilesWords");
  EXPECT_EQ(db->Init(), DB_E_NOTABLE);

  // Each failure left the module closed and wrote one record.
  UINT n = 0;
  EXPECT_EQ(db->GetDBFileName(nullptr, &n), E_UNEXPECTED);
  const std::string log = ReadFile(LogPath());
  std::size_t records = 0;
  for (std::size_t at = log.find("------------------------------"); at != std::string::npos;
       at = log.find("------------------------------", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 5u) << log;
  EXPECT_NE(log.find("HRESULT:[0x80070002]"), std::string::npos) << log;
  EXPECT_NE(log.find("Description:[Not a valid password.]"), std::string::npos) << log;
}

TEST_F(ConnectionTest, GetDBHandsOutTheModulesConnection) {
  CreateDatabaseFile();
  AddRows();
  ComPtr<ITrovixDB> db = Create();
  VARIANT v;
  EXPECT_EQ(db->GetDB(&v), E_UNEXPECTED);
  ASSERT_EQ(db->Init(), S_OK);
  EXPECT_EQ(db->GetDB(nullptr), E_INVALIDARG);
  ASSERT_EQ(db->GetDB(&v), S_OK);
  ASSERT_EQ(v.vt, VT_UNKNOWN | VT_BYREF);
  ASSERT_NE(*v.ppunkVal, nullptr);
  IEngineConnection* connection = nullptr;
  ASSERT_EQ(
      (*v.ppunkVal)->QueryInterface(IID_IEngineConnection, reinterpret_cast<void**>(&connection)),
      S_OK);
  sqlite3* handle = nullptr;
  ASSERT_EQ(connection->GetHandle(&handle), S_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT Count(*) FROM Files", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 2);
  sqlite3_finalize(stmt);
  ASSERT_EQ(db->Cleanup(), S_OK);
  EXPECT_EQ(*v.ppunkVal, nullptr) << "the reference is valid until Cleanup only";
}

}  // namespace
}  // namespace ordalis::testing
