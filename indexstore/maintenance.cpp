// Compaction of the database file and what callers learn about it:
// CompactDatabase, IsCompacting, GetCompactionSpaceFree and GetDBFileSize.
//
// A compaction runs on the caller's thread and holds the write mutex from
// its first step to its last, so no other writer of the suite runs
// meanwhile; readers of other processes that take no write mutex (searches)
// may, and see either the old pages or the new ones, whole. Its states:
//  1. idle — the module's connection open, `compacting` clear.
//  2. compacting — `compacting` set (so this process's searches,
//     IsCompacting and GetDBFileSize see it), then the module's connection
//     closed:
//     a. a connection of its own on the live file waits, up to kShareWaitMs
//        (its busy time-out), until a full, truncating checkpoint succeeds,
//        that is until no other process reads an older snapshot; else
//        STG_E_SHAREVIOLATION, with nothing changed;
//     b. VACUUM INTO writes a compact copy, "TX_1.TMP" in the database's own
//        folder (same file system, private to the user);
//     c. an online backup writes the copy into the live database as one
//        transaction of the engine, through that connection: other processes
//        that keep the file open keep consistent views (their engine sees a
//        new schema generation), and a crash before the commit leaves the
//        file as it was;
//     d. a truncating checkpoint moves the pages into the file and cuts it.
//  3. reopened — the module's connection opened again, then `compacting`
//     cleared; after a success the two persistent counters are recounted.
//     When the reopen fails the database stays closed until Init.
// The live file is never copied over, renamed over or opened outside the
// engine: the engine holds POSIX locks on it, and other processes may have it
// open. The copy is removed after a success only; a failure may leave it,
// and the next compaction deletes it first.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <mutex>

#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "indexstore/statistics.h"
#include "indexstore/string_table.h"
#include "indexstore/trovix_db.h"
#include "platform/hresult.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// How long the compaction waits for other processes' transactions to end:
// 15 tries a second apart, as the suite has always waited.
constexpr int kShareWaitMs = 15000;
constexpr const char* kCopyName = "TX_1.TMP";

// Free pages plus the unused bytes inside the pages in use (dbstat lists
// every b-tree and overflow page, not the free ones).
constexpr const char* kSpaceFree =
    "SELECT (SELECT freelist_count FROM pragma_freelist_count()) * "
    "(SELECT page_size FROM pragma_page_size()) + "
    "(SELECT coalesce(sum(unused), 0) FROM dbstat)";

struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

bool OpenAndIdle(IndexStoreModule& module) {
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  return module.database_open && !module.compacting;
}

void SetCompacting(IndexStoreModule& module, bool compacting) {
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  module.compacting = compacting;
}

std::string CopyPath(const std::string& database) {
  const std::size_t slash = database.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : database.substr(0, slash);
  return folder + "/" + kCopyName;
}

// Deletes the copy and the engine's companions of it; false when a file of
// that name exists and cannot be deleted.
bool RemoveCopy(const std::string& copy) {
  bool removed = unlink(copy.c_str()) == 0 || errno == ENOENT;
  for (const char* suffix : {"-journal", "-wal", "-shm"}) unlink((copy + suffix).c_str());
  return removed;
}

HRESULT OpenConnection(const std::string& path, int flags, Connection* out) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
  out->reset(db);
  if (rc != SQLITE_OK) return EngineStatus(db, rc);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kShareWaitMs);
  return S_OK;
}

bool IsBusy(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Step 2a: opens the live file and waits for the other processes' readers.
// Any failure here is a sharing failure: nothing has been written.
HRESULT OpenWhenShareable(const std::string& database, Connection* live) {
  if (FAILED(OpenConnection(database, SQLITE_OPEN_READWRITE, live))) return STG_E_SHAREVIOLATION;
  // A first read attaches the connection to the write-ahead log.
  if (sqlite3_exec(live->get(), "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return STG_E_SHAREVIOLATION;
  }
  const int rc =
      sqlite3_wal_checkpoint_v2(live->get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return rc == SQLITE_OK ? S_OK : STG_E_SHAREVIOLATION;
}

// Step 2b. The copy is made empty with mode 0600 first (the engine would
// create it world-readable under the usual umask), which VACUUM INTO accepts.
HRESULT VacuumInto(sqlite3* live, const std::string& copy) {
  const int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return HresultFromErrno(errno);
  close(fd);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(live, "VACUUM INTO ?", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt, 1, copy.c_str(), -1, SQLITE_TRANSIENT);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE ? S_OK : EngineStatus(live, rc);
}

// Records the engine's description of a failure as the thread's error
// object, for the log record the compaction writes when it ends.
void RecordEngineError(sqlite3* db, int rc) { static_cast<void>(EngineStatus(db, rc)); }

// Step 2c. The backup is one write transaction of the live database: until
// it commits, every other connection still reads the old pages. A failure
// other than a busy database is a failed write-back, E_FAIL.
HRESULT WriteBack(const std::string& copy, sqlite3* live) {
  Connection source;
  if (FAILED(OpenConnection(copy, SQLITE_OPEN_READONLY, &source))) return E_FAIL;
  sqlite3_backup* backup = sqlite3_backup_init(live, "main", source.get(), "main");
  if (backup == nullptr) {
    RecordEngineError(live, sqlite3_extended_errcode(live));
    return E_FAIL;
  }
  const int step = sqlite3_backup_step(backup, -1);
  const int finish = sqlite3_backup_finish(backup);
  if (IsBusy(step)) return STG_E_SHAREVIOLATION;
  if (step != SQLITE_DONE || finish != SQLITE_OK) {
    RecordEngineError(live, step != SQLITE_DONE ? step : finish);
    return E_FAIL;
  }
  return S_OK;
}

// States 2a to 2d. A reader that another process keeps open past the wait
// can still hold back the last checkpoint: the compacted pages are then
// committed and read by everyone, and the file is cut at the next complete
// checkpoint (the engine's own, or the last connection's close).
HRESULT CompactFile(const std::string& database, const std::string& copy) {
  Connection live;
  HRESULT hr = OpenWhenShareable(database, &live);
  if (FAILED(hr)) return hr;
  hr = VacuumInto(live.get(), copy);
  if (FAILED(hr)) {
    LogMessage(__FILE__, __LINE__, hr, IDS_COMPACTION_FAILED);
    return hr;
  }
  hr = WriteBack(copy, live.get());
  if (FAILED(hr)) return hr;
  static_cast<void>(
      sqlite3_wal_checkpoint_v2(live.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr));
  return S_OK;
}

// Each counter is replaced only when its count succeeds; a failure is logged.
void RecountCounters(IndexStoreModule& module) {
  HRESULT hr = CountIndexed(module.engine(), &module.files_indexed);
  if (FAILED(hr)) LogFailure(module.log_path, __FILE__, __LINE__, hr);
  hr = CountProcessed(module.engine(), &module.files_processed);
  if (FAILED(hr)) LogFailure(module.log_path, __FILE__, __LINE__, hr);
}

}  // namespace

HRESULT TrovixDB::CompactDatabase() {
  IndexStoreModule& module = Module();
  if (!OpenAndIdle(module)) return E_UNEXPECTED;
  WriteLock lock;
  // Another thread may have closed the database while this one waited.
  if (!OpenAndIdle(module)) return E_UNEXPECTED;
  const std::string database = Utf16ToUtf8(module.db_path);
  const std::string copy = CopyPath(database);
  if (!RemoveCopy(copy)) return E_FAIL;
  // The flag covers the whole time the database is closed, so this
  // process's searches and IsCompacting see the compaction until the
  // connection is back.
  SetCompacting(module, true);
  if (FAILED(module.CloseDatabase())) {
    SetCompacting(module, false);
    return E_FAIL;
  }
  const HRESULT hr = CompactFile(database, copy);
  // Logged before the reopen, whose own failure would take the error object.
  if (FAILED(hr)) LogFailure(module.log_path, __FILE__, __LINE__, hr);
  if (SUCCEEDED(hr)) static_cast<void>(RemoveCopy(copy));
  const HRESULT reopened = module.OpenDatabase();  // closed until Init when it fails
  SetCompacting(module, false);
  if (FAILED(hr) || FAILED(reopened)) return E_FAIL;
  RecountCounters(module);
  module.statistics_ready = true;
  return S_OK;
}

HRESULT TrovixDB::IsCompacting() {
  IndexStoreModule& module = Module();
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  return module.compacting ? S_OK : S_FALSE;
}

// Answers E_UNEXPECTED while the database is closed (before Init, after
// Cleanup, during a compaction): the figure is read from the open database.
// It counts every unused byte, so even a freshly compacted file answers a
// little more than 0 (pages are never filled to the last byte). The whole
// file is read, under the write mutex, as the connection is the module's.
HRESULT TrovixDB::GetCompactionSpaceFree(UINT* pccb) {
  IndexStoreModule& module = Module();
  if (pccb == nullptr) return E_POINTER;
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;
  Statement space(module.engine(), kSpaceFree);
  HRESULT hr = space.Step();
  if (hr == DB_S_ENDOFROWSET) hr = E_FAIL;  // the statement always yields a row
  if (FAILED(hr)) {
    LogFailure(module.log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  const std::int64_t bytes = space.ColumnInt(0);
  constexpr std::int64_t kMax = std::numeric_limits<UINT>::max();
  *pccb = static_cast<UINT>(bytes < 0 ? 0 : bytes > kMax ? kMax : bytes);
  return S_OK;
}

// stat only: the file is never opened outside the engine. The database need
// not be open.
HRESULT TrovixDB::GetDBFileSize(UINT* pcbSize) {
  IndexStoreModule& module = Module();
  if (pcbSize == nullptr) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (module.compacting) return E_UNEXPECTED;
  struct stat st {};
  if (stat(Utf16ToUtf8(module.db_path).c_str(), &st) != 0) return E_FAIL;
  *pcbSize = static_cast<UINT>(static_cast<std::uint64_t>(st.st_size) & 0xFFFFFFFFu);
  return S_OK;
}

}  // namespace ordalis
