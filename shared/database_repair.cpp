#include "shared/database_repair.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace trovix {
namespace {

// How long the check waits for another connection's write to finish before
// it answers "could not tell".
constexpr int kBusyTimeoutMs = 2000;

constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// The engine's verdict on a failing call: only codes that speak about the
// file's content count as damage; a lock, an I/O failure or a lack of memory
// say nothing about it.
HRESULT Classify(sqlite3* db, int rc, DatabaseCheck* check) {
  const int primary = rc & 0xff;
  const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  // A short read means the file ends before the pages its header counts.
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || rc == SQLITE_IOERR_SHORT_READ) {
    check->condition = DatabaseCondition::kDamaged;
    check->detail = message;
    return S_OK;
  }
  check->condition = DatabaseCondition::kUnknown;
  check->detail = message;
  return static_cast<HRESULT>(0x80046000u | static_cast<unsigned>(primary));
}

// Runs `sql` and hands each first-column text to `row` (false stops).
template <typename Row>
int ForEachRow(sqlite3* db, const char* sql, Row row) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  const StatementPtr stmt(raw);
  if (rc != SQLITE_OK) return rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(raw, 0);
    if (!row(text != nullptr ? reinterpret_cast<const char*>(text) : "")) return SQLITE_OK;
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The checks of content, on an open connection. Returns an engine code;
// sets `*damage` when the content is wrong though the engine had no error.
int CheckContent(sqlite3* db, std::string* damage) {
  // quick_check reads every page and checks the b-tree structure and the
  // records, but not that each index matches its table: O(N) instead of
  // integrity_check's O(N log N). On a 21 MB index of 1 KiB pages it took
  // 0.16 s against 1.27 s, and an index out of step with its table is not
  // the damage that torn writes and truncation leave.
  int rc = ForEachRow(db, "PRAGMA quick_check(1)", [&](const std::string& text) {
    if (text != "ok") *damage = "the engine's check failed: " + text;
    return false;
  });
  if (rc != SQLITE_OK || !damage->empty()) return rc;
  rc = ForEachRow(db, "PRAGMA application_id", [&](const std::string& text) {
    if (text != std::to_string(kDatabaseApplicationId)) {
      *damage = "the file is another program's database (application id " + text + ")";
    }
    return false;
  });
  if (rc != SQLITE_OK || !damage->empty()) return rc;
  for (const char* table : kDatabaseTables) {
    bool found = false;
    const std::string sql =
        std::string("SELECT name FROM sqlite_master WHERE type = 'table' AND name = '") + table +
        "'";
    rc = ForEachRow(db, sql.c_str(), [&](const std::string&) { return !(found = true); });
    if (rc != SQLITE_OK) return rc;
    if (!found) {
      *damage = std::string("the table ") + table + " is missing";
      return SQLITE_OK;
    }
  }
  bool password_matches = false;
  rc = ForEachRow(db, "SELECT Value FROM DatabaseInfo WHERE Name = 'Password'",
                  [&](const std::string& text) {
                    password_matches = Utf8ToUtf16(text) == DatabasePassword();
                    return false;
                  });
  if (rc == SQLITE_OK && !password_matches) *damage = "the database password does not match";
  return rc;
}

// "20261207-021500", local time.
std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
  return text;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// A name "<path>.damaged-<stamp>[-n]" free for the file, its companions and
// the new database built beside it.
std::string FreeKeptName(const std::string& path) {
  const std::string base = path + ".damaged-" + Stamp();
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    bool taken = Exists(name) || Exists(name + ".new");
    for (const char* suffix : kCompanions) taken = taken || Exists(name + suffix);
    if (!taken) return name;
  }
}

// True when another process holds one of the engine's locks on the file:
// the lock bytes of the database file, or the byte of the shared-memory file
// every WAL connection keeps read-locked while it is open. This process must
// not have the file open in the engine (closing our descriptor would drop
// the engine's locks); the caller's check closed its connection.
bool HeldByAnotherProcess(const std::string& path) {
  struct Probe {
    std::string file;
    off_t start;
    off_t length;
  };
  // The engine's lock bytes start at 1 GiB (pending, reserved, 510 shared);
  // byte 128 of the -shm file is its "connection alive" lock.
  const Probe probes[] = {{path, 0x40000000, 512}, {path + "-shm", 128, 1}};
  for (const Probe& probe : probes) {
    const int fd = open(probe.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = probe.start;
    lock.l_len = probe.length;
    const bool held = fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    if (held) return true;
  }
  return false;
}

HRESULT SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return HresultFromErrno(errno);
  const HRESULT hr = fsync(fd) == 0 ? S_OK : HresultFromErrno(errno);
  close(fd);
  return hr;
}

// Keeps the old file and its companions under `kept` and renames the new
// database `fresh` over `path`; see MoveAsideAndRecreate for the order.
HRESULT SwapIn(const std::string& path, const std::string& fresh, const std::string& kept,
               bool* kept_any) {
  if (Exists(path)) {
    if (link(path.c_str(), kept.c_str()) != 0) return HresultFromErrno(errno);
    *kept_any = true;
  }
  for (const char* suffix : kCompanions) {
    const std::string from = path + suffix;
    if (!Exists(from)) continue;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, (kept + suffix).c_str(), RENAME_NOREPLACE) !=
        0) {
      return HresultFromErrno(errno);
    }
    *kept_any = true;
  }
  if (rename(fresh.c_str(), path.c_str()) != 0) return HresultFromErrno(errno);
  return S_OK;
}

}  // namespace

HRESULT CheckDatabase(const std::string& path, DatabaseCheck* check) {
  if (check == nullptr || path.empty()) return E_INVALIDARG;
  *check = {};
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      check->condition = DatabaseCondition::kMissing;
      return S_OK;
    }
    check->detail = std::strerror(errno);
    return HresultFromErrno(errno);
  }
  if (!S_ISREG(st.st_mode)) {
    check->detail = "the path names something other than a regular file";
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  if (st.st_size == 0) {
    check->condition = DatabaseCondition::kDamaged;
    check->detail = "the file is empty";
    return S_OK;
  }
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  const Connection db(raw);
  if (rc != SQLITE_OK) return Classify(raw, rc, check);
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  std::string damage;
  rc = CheckContent(raw, &damage);
  if (rc != SQLITE_OK) return Classify(raw, rc, check);
  check->condition = damage.empty() ? DatabaseCondition::kHealthy : DatabaseCondition::kDamaged;
  check->detail = damage;
  return S_OK;
}

HRESULT MoveAsideAndRecreate(const std::string& path, std::string* kept_as) {
  if (kept_as == nullptr || path.empty()) return E_INVALIDARG;
  kept_as->clear();
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (!folder.empty()) {
    if (const int error = MakePrivateDirs(folder); error != 0) return HresultFromErrno(error);
  }
  if (HeldByAnotherProcess(path)) return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
  const std::string kept = FreeKeptName(path);
  // Built first, so that a failure here (a full disk) changes nothing.
  const std::string fresh = kept + ".new";
  HRESULT hr = CreateDatabase(fresh);
  if (FAILED(hr)) return hr;
  bool kept_any = false;
  hr = SwapIn(path, fresh, kept, &kept_any);
  if (kept_any) *kept_as = kept;
  // Only on failure is the new, empty database still under its own name; it
  // holds nothing of the user's.
  if (FAILED(hr)) {
    unlink(fresh.c_str());
    return hr;
  }
  return SyncFolder(folder.empty() ? "." : folder);
}

}  // namespace trovix
