#include "indexstore/kept_statement.h"

#include "indexstore/engine.h"

namespace ordalis {

HRESULT KeptStatement::Prepare(sqlite3* db, const char* sql) {
  if (stmt_ != nullptr) return S_OK;
  if (db == nullptr) return E_UNEXPECTED;
  const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc == SQLITE_OK) return S_OK;
  stmt_ = nullptr;
  return EngineStatus(db, rc);
}

void KeptStatement::Finalize() {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
}

KeptStatementUse::~KeptStatementUse() {
  if (SUCCEEDED(status_)) {
    sqlite3_reset(kept_.get());
    sqlite3_clear_bindings(kept_.get());
  }
}

HRESULT KeptStatementUse::Bind(int index, std::int64_t value) {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_bind_int64(kept_.get(), index, value));
}

HRESULT KeptStatementUse::Step() {
  if (FAILED(status_)) return status_;
  return EngineStatus(db_, sqlite3_step(kept_.get()));
}

}  // namespace ordalis
