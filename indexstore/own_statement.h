// A statement prepared for one call and finalized on every path: for the
// read methods that hold only the module's critical section, which must not
// fill the engine's statement cache (its owner holds the write mutex).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "indexstore/engine.h"
#include "platform/types.h"
#include "platform/wstring.h"

namespace ordalis {

class OwnStatement {
 public:
  OwnStatement(sqlite3* db, const char* sql)
      : db_(db), status_(EngineStatus(db, sqlite3_prepare_v3(db, sql, -1, 0, &stmt_, nullptr))) {}
  ~OwnStatement() { sqlite3_finalize(stmt_); }
  OwnStatement(const OwnStatement&) = delete;
  OwnStatement& operator=(const OwnStatement&) = delete;

  [[nodiscard]] HRESULT status() const { return status_; }
  [[nodiscard]] HRESULT Bind(int index, std::u16string_view text) {
    // As the engine adapter binds text: lone surrogates stand for bytes.
    const std::string utf8 = Utf16ToUtf8(text);
    return EngineStatus(db_, sqlite3_bind_text(stmt_, index, utf8.data(),
                                               static_cast<int>(utf8.size()), SQLITE_TRANSIENT));
  }
  // UTF-8 bytes as they are (terms, which are UTF-8 already).
  [[nodiscard]] HRESULT BindUtf8(int index, std::string_view text) {
    return EngineStatus(db_, sqlite3_bind_text(stmt_, index, text.data(),
                                               static_cast<int>(text.size()), SQLITE_TRANSIENT));
  }
  [[nodiscard]] HRESULT Bind(int index, std::int64_t value) {
    return EngineStatus(db_, sqlite3_bind_int64(stmt_, index, value));
  }
  // S_OK with a row, DB_S_ENDOFROWSET when done, or the failure.
  [[nodiscard]] HRESULT Step() { return EngineStatus(db_, sqlite3_step(stmt_)); }
  // Back to before the first row, bindings kept.
  void Reset() { sqlite3_reset(stmt_); }
  [[nodiscard]] sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  HRESULT status_;
};

}  // namespace ordalis
