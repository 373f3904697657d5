// The database engine adapter: the module's one SQLite connection (the
// "data source and session" every method runs on), prepared statements with
// positional parameters, and transactions.
//
// Every failure is mapped to a status code in EngineStatus (the one place
// engine codes are mapped), which also sets the thread's error object with
// the engine's description, for the log writer to pick up.
//
// Threads: the connection is opened in serialized mode, so it may be used
// from any thread; callers serialise whole operations with the write mutex
// and the module critical section.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/unknwn.h"

namespace ordalis {

// The interface GetDB hands out (by reference to the module's pointer): the
// engine connection behind the index store, for diagnostics.
inline constexpr IID IID_IEngineConnection = MakeGuid("{6B0E2C51-8F3A-4D7E-9C12-5E4A7B9D0F31}");
struct IEngineConnection : IUnknown {
  // The SQLite connection; valid until Cleanup. No reference is added.
  [[nodiscard]] virtual HRESULT GetHandle(sqlite3** handle) = 0;
};

// Maps an engine result code to a status code and, for a failure, records the
// engine's message as the thread's error object. SQLITE_ROW → S_OK,
// SQLITE_DONE → DB_S_ENDOFROWSET, SQLITE_OK → S_OK, a uniqueness violation →
// E_FAIL, any other failure → the engine facility code of its primary code.
[[nodiscard]] HRESULT EngineStatus(sqlite3* db, int rc);

class Statement;

class Engine final : public IEngineConnection {
 public:
  Engine() = default;
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Opens the database file at `path` (UTF-8): it must exist (it is never
  // created), be a database of this suite with all its tables, and carry
  // `password`. Answers HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) for a
  // missing file, DB_SEC_E_AUTH_FAILED for a wrong password, DB_E_NOTABLE for
  // a missing table, an engine code for a damaged file. On failure nothing
  // stays open and the error object describes the failure. A connection
  // opened `read_only` cannot change the file: every write answers the
  // engine's read-only code. It still takes part in the log's locking, and
  // closing it never checkpoints the log into the file.
  [[nodiscard]] HRESULT Open(const std::string& path, const WString& password,
                             bool read_only = false);
  // Finalizes every cached statement and closes the connection.
  void Close();
  [[nodiscard]] bool is_open() const { return db_ != nullptr; }
  // True when the open file has the term index: always after a writer's
  // open (which upgrades the file), and for a reader of a file that a
  // writer of this version has opened.
  [[nodiscard]] bool has_terms() const { return has_terms_; }
  [[nodiscard]] sqlite3* handle() const { return db_; }
  // The identity the connection's last successful INSERT assigned (0 when none
  // has happened). Read it before the next insert of the same thread.
  [[nodiscard]] std::int64_t LastInsertId() const;

  // IEngineConnection. The engine is owned by the module, not by references:
  // AddRef and Release only keep the interface contract.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT GetHandle(sqlite3** handle) override;

  // Checkpoints (copying the log into the database file, two syncs) run
  // after the commit that brings the log to kCheckpointBytes. While
  // deferred, such a commit only marks the checkpoint due, and the holder of
  // the write mutex runs it with RunDueCheckpoint after letting the mutex
  // go: a checkpoint needs no exclusion beyond the engine's own, and readers
  // of other processes then need not wait for it. Deferral is guarded by the
  // write mutex.
  static constexpr std::int64_t kCheckpointBytes = 20 << 20;
  void DeferCheckpoints(bool defer) { defer_checkpoints_ = defer; }
  // Runs a checkpoint that came due while deferred, if any; passive, so it
  // never waits for readers or writers. Call under the module critical
  // section.
  void RunDueCheckpoint();

  // The page cache: kBaseCacheBytes normally; while a batch is open, half
  // the database's size, at most kBatchCacheBytes. A batch adds each file's
  // rows to one page of the word-to-file index per word, all over the
  // index; a cache too small for the pages in use writes a page out, and
  // later again, almost per row. A first index of a 100,000-file home (a
  // 193 MB database) took 57 s and wrote 1,011 MB with 8 MiB, 40 s and
  // 733 MB with this rule (peak memory 65 → 127 MiB). A database under
  // 4 MB keeps the base cache. Since the term-to-file index is ordered by
  // blocks of files, the pages a batch of new files touches are those of
  // one block or two, so the batch cache need not hold the whole index: a
  // first index of 300,000 files (45,000 documents, a 796 MB database) wrote
  // 1,977 MB and peaked at 112 MiB with 64 MiB, 2,173 MB and 77 MiB with
  // 32 MiB, which keeps the indexer within its budget (bulk_indexer.h). The
  // base is small because a small index
  // gains nothing from more: a first index of 497 text files (a 10 MB
  // database, one batch) wrote 20.5 MB with 2, 4 and 8 MiB alike and
  // peaked at 19.5, 21.6 and 26 MiB. Call under the write mutex, outside a
  // transaction.
  static constexpr std::int64_t kBaseCacheBytes = 2 << 20;
  // A connection opened read-only serves a search process that reads each
  // page of a large result once: a larger cache only costs memory touched
  // for the first time. The word in 30% of the documents of a 1,000,000-file
  // home (45,162 files printed) took 74-79 ms with 8 MiB, 66-67 ms with
  // 1 MiB.
  static constexpr std::int64_t kReadingCacheBytes = 1 << 20;
  static constexpr std::int64_t kBatchCacheBytes = 32 << 20;
  void FitCacheForBatch();
  // Inside a batch, as the database grows: the cache grows to a third of
  // the database's size, at most kGrownCacheBytes, when that is more than
  // it has (it never shrinks before the batch ends). A first index is one
  // batch that starts on an empty file: 2,236 HTML and text files (a 35 MB
  // database) took 5.8 s with the base cache throughout and 3.2-4.0 s with
  // 8 MiB, while 497 text files (10 MB) peak at 19.6 MiB with a third of
  // theirs. Later batches start with FitCacheForBatch's share. Under the
  // write mutex.
  void GrowCacheInBatch();
  static constexpr std::int64_t kGrownCacheBytes = 8 << 20;
  void RestoreCache();

 private:
  friend class Statement;
  // The database file's size in pages times the page size.
  [[nodiscard]] std::int64_t DatabaseBytes() const;
  // A prepared statement for `sql`, cached for the life of the connection.
  [[nodiscard]] HRESULT Prepare(const char* sql, sqlite3_stmt** stmt);
  [[nodiscard]] HRESULT VerifyDatabase(const WString& password);

  // The engine's hook after each commit: see kCheckpointBytes.
  static int AfterCommit(void* engine, sqlite3* db, const char* schema, int pages);

  sqlite3* db_ = nullptr;
  // Looked up by the SQL text without copying it: a batch asks for a
  // statement per row it writes.
  struct SqlHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view sql) const {
      return std::hash<std::string_view>()(sql);
    }
  };
  std::unordered_map<std::string, sqlite3_stmt*, SqlHash, std::equal_to<>>
      cache_;                       // guarded by the module's locks
  std::int64_t page_bytes_ = 4096;  // this file's page size
  std::int64_t base_cache_bytes_ = kBaseCacheBytes;
  std::int64_t cache_bytes_ =
      kBaseCacheBytes;        // what the last cache_size set  // kReadingCacheBytes when read-only
  int checkpoint_pages_ = 0;  // kCheckpointBytes in pages of this file
  bool read_only_ = false;
  bool has_terms_ = false;
  bool defer_checkpoints_ = false;           // guarded by the write mutex
  std::atomic<bool> checkpoint_due_{false};  // set under the write mutex, taken after it
};

// One execution of a cached statement. Parameters are bound by position,
// from 1. Destruction resets the statement and clears its bindings, so no
// early return leaves a statement holding a read transaction open.
class Statement {
 public:
  Statement(Engine& engine, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // The status of preparing; every other member answers it while failed.
  [[nodiscard]] HRESULT status() const { return status_; }
  [[nodiscard]] HRESULT Bind(int index, std::int64_t value);
  [[nodiscard]] HRESULT Bind(int index, double value);
  // Text travels as UTF-8 converted by the platform layer, whose lone
  // surrogates U+DC80..U+DCFF stand for the bytes of names that are not valid
  // UTF-8: stored as those bytes, they compare like the names on disk and read
  // back unchanged. (The engine's own UTF-16 conversion would merge a lone
  // surrogate with the unit after it.)
  [[nodiscard]] HRESULT Bind(int index, std::u16string_view text);
  // UTF-8 text as it is (terms), a blob (an empty view binds an empty blob)
  // and null.
  [[nodiscard]] HRESULT BindUtf8(int index, std::string_view text);
  [[nodiscard]] HRESULT BindBlob(int index, std::string_view bytes);
  [[nodiscard]] HRESULT BindNull(int index);
  // S_OK with a row, DB_S_ENDOFROWSET when done, or the failure.
  [[nodiscard]] HRESULT Step();
  [[nodiscard]] std::int64_t ColumnInt(int index) const;
  [[nodiscard]] double ColumnDouble(int index) const;
  // The column's bytes (text or blob), valid until the next step or reset.
  [[nodiscard]] std::string_view ColumnBytes(int index) const;
  [[nodiscard]] WString ColumnText(int index) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  HRESULT status_;
};

// A write transaction (BEGIN IMMEDIATE). It rolls back on destruction unless
// Commit succeeded, so a failing step anywhere undoes every change.
class Transaction {
 public:
  explicit Transaction(Engine& engine);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  [[nodiscard]] HRESULT status() const { return status_; }
  [[nodiscard]] HRESULT Commit();

 private:
  Engine& engine_;
  HRESULT status_;
  bool active_ = false;
};

}  // namespace ordalis
