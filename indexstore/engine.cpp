#include "indexstore/engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/error_info.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace ordalis {
namespace {

constexpr const char16_t* kEngineSource = u"Ordalis database engine (SQLite)";
// Long enough to ride out another process's checkpoint; writers of the whole
// suite are already serialised by the write mutex.
constexpr int kBusyTimeoutMs = 30000;

HRESULT Fail(HRESULT hr, const std::string& description) {
  SetErrorInfo({kEngineSource, Utf8ToUtf16(description)});
  return hr;
}

}  // namespace

HRESULT EngineStatus(sqlite3* db, int rc) {
  switch (rc) {
    case SQLITE_OK:
    case SQLITE_ROW:
      return S_OK;
    case SQLITE_DONE:
      return DB_S_ENDOFROWSET;
    default:
      break;
  }
  const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
    return Fail(E_FAIL, message);
  }
  return Fail(static_cast<HRESULT>(0x80046000u | static_cast<unsigned>(rc & 0xFF)), message);
}

Engine::~Engine() { Close(); }

HRESULT Engine::Open(const std::string& path, const WString& password, bool read_only) {
  if (db_ != nullptr) return E_UNEXPECTED;
  struct stat st {};
  // stat, not open: a descriptor of ours on the file would drop the engine's
  // POSIX locks when closed.
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    const int error = path.empty() ? ENOENT : errno;
    return Fail(HresultFromErrno(error), "Could not find file '" + path + "'.");
  }
  if (!S_ISREG(st.st_mode)) {
    return Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "'" + path + "' is not a file.");
  }
  base_cache_bytes_ = read_only ? kReadingCacheBytes : kBaseCacheBytes;
  cache_bytes_ = base_cache_bytes_;
  read_only_ = read_only;
  const int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const HRESULT hr = EngineStatus(db_, rc);
    Close();
    return hr;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  const HRESULT hr = VerifyDatabase(password);
  if (FAILED(hr)) Close();
  return hr;
}

// Reads the file's header and catalogue (a damaged file fails here, before
// anything is written), checks the password and the tables, and only then
// switches to WAL, which is the one change opening makes to a file.
HRESULT Engine::VerifyDatabase(const WString& password) {
  HRESULT hr = S_OK;
  {
    Statement stored(*this, "SELECT Value FROM DatabaseInfo WHERE Name = 'Password'");
    hr = stored.Step();
    if (hr == DB_S_ENDOFROWSET || (hr == S_OK && stored.ColumnText(0) != password)) {
      return Fail(DB_SEC_E_AUTH_FAILED, "Not a valid password.");
    }
  }
  if (FAILED(hr)) return hr;
  for (const char* table : trovix::kDatabaseTables) {
    Statement exists(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    hr = exists.Bind(1, Utf8ToUtf16(table));
    if (SUCCEEDED(hr)) hr = exists.Step();
    if (hr == DB_S_ENDOFROWSET) {
      return Fail(DB_E_NOTABLE, std::string("The database has no table '") + table + "'.");
    }
    if (FAILED(hr)) return hr;
  }
  // The log file is cut back to 16 MiB after a checkpoint. 8 MiB of page
  // cache: a first index wrote as much with 16 MiB and 32 MiB (the pages of
  // a batch go to the log at its commit either way) and its process stayed
  // 7-10 MB smaller.
  for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
                             "PRAGMA journal_size_limit=16777216"}) {
    hr = EngineStatus(db_, sqlite3_exec(db_, pragma, nullptr, nullptr, nullptr));
    if (FAILED(hr)) return hr;
  }
  {
    Statement page_size(*this, "PRAGMA page_size");
    hr = page_size.Step();
    if (FAILED(hr)) return hr;
    const std::int64_t bytes = hr == S_OK ? page_size.ColumnInt(0) : 0;
    page_bytes_ = std::max<std::int64_t>(bytes, 512);
    checkpoint_pages_ = static_cast<int>(kCheckpointBytes / page_bytes_);
  }
  // A writer brings a file of an earlier version up to date (in one
  // transaction: a failure leaves it as it was, and the open fails); a
  // reader takes the file as it is and searches what it holds.
  if (!read_only_) {
    hr = EngineStatus(db_, trovix::UpgradeDatabase(db_));
    if (FAILED(hr)) return hr;
  }
  has_terms_ = trovix::HasTermTables(db_);
  RestoreCache();
  // Replaces the engine's own automatic checkpoints (they are the same hook).
  sqlite3_wal_hook(db_, &Engine::AfterCommit, this);
  return S_OK;
}

// After 20 MiB of log rather than the default 1,000 pages: a checkpoint copies
// every page the log holds, so the fewer checkpoints, the fewer times a page
// that batch after batch touches is copied. A first index of 2,236 files
// (4 KiB pages) wrote 67 MB with 10 MiB, 57 MB with 20 MiB and 48 MB with
// 40 MiB; 20 MiB keeps the log, which is disk used beside the database,
// smaller than this database.
int Engine::AfterCommit(void* engine, sqlite3* db, const char* schema, int pages) {
  auto& self = *static_cast<Engine*>(engine);
  if (pages < self.checkpoint_pages_) return SQLITE_OK;
  if (self.defer_checkpoints_) {
    self.checkpoint_due_ = true;
  } else {
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  return SQLITE_OK;
}

void Engine::RunDueCheckpoint() {
  if (db_ == nullptr || !checkpoint_due_.exchange(false)) return;
  // A failure (busy: another connection checkpoints) leaves the log to the
  // next commit that reaches the threshold.
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

namespace {

// Sets the page cache to `bytes`; a failure leaves the cache as it was,
// which costs only speed.
void SetCacheBytes(sqlite3* db, std::int64_t bytes) {
  const std::string pragma = "PRAGMA cache_size=-" + std::to_string(bytes >> 10);
  static_cast<void>(sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr));
}

}  // namespace

std::int64_t Engine::DatabaseBytes() const {
  sqlite3_stmt* raw = nullptr;
  std::int64_t pages = 0;
  if (sqlite3_prepare_v2(db_, "PRAGMA page_count", -1, &raw, nullptr) == SQLITE_OK &&
      sqlite3_step(raw) == SQLITE_ROW) {
    pages = sqlite3_column_int64(raw, 0);
  }
  sqlite3_finalize(raw);
  return pages * page_bytes_;
}

void Engine::FitCacheForBatch() {
  if (db_ == nullptr) return;
  cache_bytes_ = std::clamp(DatabaseBytes() / 2, kBaseCacheBytes, kBatchCacheBytes);
  SetCacheBytes(db_, cache_bytes_);
}

void Engine::GrowCacheInBatch() {
  if (db_ == nullptr) return;
  const std::int64_t wanted = std::clamp(DatabaseBytes() / 3, kBaseCacheBytes, kGrownCacheBytes);
  if (wanted <= cache_bytes_) return;
  cache_bytes_ = wanted;
  SetCacheBytes(db_, cache_bytes_);
}

// A smaller cache gives its memory back: a long-running indexer keeps only
// the base cache between batches.
void Engine::RestoreCache() {
  if (db_ == nullptr) return;
  cache_bytes_ = base_cache_bytes_;
  SetCacheBytes(db_, cache_bytes_);
}

void Engine::Close() {
  for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
  cache_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  has_terms_ = false;
}

std::int64_t Engine::LastInsertId() const {
  return db_ != nullptr ? sqlite3_last_insert_rowid(db_) : 0;
}

HRESULT Engine::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IEngineConnection) {
    *ppv = static_cast<IEngineConnection*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT Engine::GetHandle(sqlite3** handle) {
  if (handle == nullptr) return E_POINTER;
  *handle = db_;
  return db_ != nullptr ? S_OK : E_UNEXPECTED;
}

HRESULT Engine::Prepare(const char* sql, sqlite3_stmt** stmt) {
  *stmt = nullptr;
  if (db_ == nullptr) return E_UNEXPECTED;
  const auto found = cache_.find(std::string_view(sql));
  if (found != cache_.end()) {
    *stmt = found->second;
    return S_OK;
  }
  const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr);
  if (rc != SQLITE_OK) return EngineStatus(db_, rc);
  cache_.emplace(sql, *stmt);
  return S_OK;
}

Statement::Statement(Engine& engine, const char* sql)
    : db_(engine.handle()), status_(engine.Prepare(sql, &stmt_)) {}

Statement::~Statement() {
  if (stmt_ != nullptr) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

HRESULT Statement::Bind(int index, std::int64_t value) {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_bind_int64(stmt_, index, value));
}

HRESULT Statement::Bind(int index, double value) {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_bind_double(stmt_, index, value));
}

HRESULT Statement::Bind(int index, std::u16string_view text) {
  if (FAILED(status_)) return status_;
  const std::string utf8 = Utf16ToUtf8(text);
  return EngineStatus(db_, sqlite3_bind_text(stmt_, index, utf8.data(),
                                             static_cast<int>(utf8.size()), SQLITE_TRANSIENT));
}

HRESULT Statement::BindUtf8(int index, std::string_view text) {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_bind_text(stmt_, index, text.data(),
                                             static_cast<int>(text.size()), SQLITE_TRANSIENT));
}

HRESULT Statement::BindBlob(int index, std::string_view bytes) {
  if (FAILED(status_)) return status_;
  // A zero-length blob, not null, for an empty view.
  return EngineStatus(db_, sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(),
                                             static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
}

HRESULT Statement::BindNull(int index) {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_bind_null(stmt_, index));
}

HRESULT Statement::Step() {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_step(stmt_));
}

std::int64_t Statement::ColumnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

std::string_view Statement::ColumnBytes(int index) const {
  const void* bytes = sqlite3_column_blob(stmt_, index);
  if (bytes == nullptr) return {};
  return std::string_view(static_cast<const char*>(bytes),
                          static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index)));
}

double Statement::ColumnDouble(int index) const { return sqlite3_column_double(stmt_, index); }

WString Statement::ColumnText(int index) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
  if (text == nullptr) return {};
  return Utf8ToUtf16(
      std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index))));
}

Transaction::Transaction(Engine& engine)
    : engine_(engine),
      status_(EngineStatus(engine.handle(), sqlite3_exec(engine.handle(), "BEGIN IMMEDIATE",
                                                         nullptr, nullptr, nullptr))) {
  active_ = SUCCEEDED(status_);
}

Transaction::~Transaction() {
  if (active_) sqlite3_exec(engine_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

HRESULT Transaction::Commit() {
  if (!active_) return FAILED(status_) ? status_ : E_UNEXPECTED;
  const HRESULT hr = EngineStatus(
      engine_.handle(), sqlite3_exec(engine_.handle(), "COMMIT", nullptr, nullptr, nullptr));
  if (SUCCEEDED(hr)) active_ = false;
  return hr;
}

}  // namespace ordalis
