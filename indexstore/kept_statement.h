// A statement of the read path prepared on first use and kept between calls,
// so that reading one result row costs a bind and a step instead of a fresh
// compilation of its SQL (which costs more than the row itself).
//
// The engine's own statement cache is not used for it: that cache is also
// filled by methods that hold only the write mutex, while the read path holds
// only the critical section, and two threads must not fill it at once.
//
// Invariants:
//  1. A kept statement belongs to the connection that was open when it was
//     prepared. The module finalizes it in its close step, before the
//     connection closes; Cleanup and compaction both go through that step. So
//     a kept statement never outlives its connection, and never keeps a
//     closed connection (and its file descriptors) alive as a zombie.
//  2. Between uses it is reset and holds no bindings (KeptStatementUse resets
//     it on every path), so no read transaction stays open between calls.
//
// Threads: a kept statement is guarded by the lock its owner names; the
// module's one is guarded by its critical section.
#pragma once

#include <sqlite3.h>

#include <cstdint>

#include "platform/types.h"

namespace ordalis {

class KeptStatement {
 public:
  KeptStatement() = default;
  ~KeptStatement() { Finalize(); }
  KeptStatement(const KeptStatement&) = delete;
  KeptStatement& operator=(const KeptStatement&) = delete;

  // Prepares `sql` on `db` unless already prepared. S_OK or the engine's
  // failure (then nothing is kept).
  [[nodiscard]] HRESULT Prepare(sqlite3* db, const char* sql);
  // Frees the statement; the next Prepare compiles it anew.
  void Finalize();
  [[nodiscard]] bool prepared() const { return stmt_ != nullptr; }
  [[nodiscard]] sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// One use of a kept statement: prepares it when needed, and resets it and
// clears its bindings when the use ends, on every path.
class KeptStatementUse {
 public:
  KeptStatementUse(KeptStatement& kept, sqlite3* db, const char* sql)
      : kept_(kept), db_(db), status_(kept.Prepare(db, sql)) {}
  ~KeptStatementUse();
  KeptStatementUse(const KeptStatementUse&) = delete;
  KeptStatementUse& operator=(const KeptStatementUse&) = delete;

  // The status of preparing; Bind and Step answer it while failed.
  [[nodiscard]] HRESULT status() const { return status_; }
  [[nodiscard]] HRESULT Bind(int index, std::int64_t value);
  // S_OK with a row, DB_S_ENDOFROWSET when done, or the failure.
  [[nodiscard]] HRESULT Step();
  [[nodiscard]] sqlite3_stmt* get() const { return kept_.get(); }

 private:
  KeptStatement& kept_;
  sqlite3* db_;
  HRESULT status_;
};

}  // namespace ordalis
