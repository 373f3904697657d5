// The command-line tool's connection to the index store: the component
// library initialised on this thread, one index store object, the database
// opened.
//
// Two kinds of session. A writing session (Init ... Cleanup) loads the
// statistics counters from the registry and saves them at the end: for the
// commands that change the index. A reading session (OpenForReading ...
// CloseForReading of shared/itrovixreader.h) neither loads nor saves them
// and cannot change the database: for commands that only read, which then
// leave the registry hive as it was and cost no rewrite of it.
#pragma once

#include <ostream>
#include <string>

#include "platform/com.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixreader.h"

namespace trovix::cli {

enum class StoreAccess { kWrite, kRead };

// The access of sessions made without naming one: kWrite until set. The
// program sets it once, before any session, for a command that only reads.
void SetDefaultStoreAccess(StoreAccess access);

class StoreSession {
 public:
  StoreSession();
  explicit StoreSession(StoreAccess access);
  ~StoreSession();
  StoreSession(const StoreSession&) = delete;
  StoreSession& operator=(const StoreSession&) = delete;

  // S_OK when the store is open; otherwise the failure, and `error()` says
  // what went wrong in words a user can act on.
  [[nodiscard]] HRESULT status() const { return status_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  ITrovixDB* operator->() const { return store_.get(); }
  ITrovixDB* get() const { return store_.get(); }

 private:
  ComInit com_;
  ComPtr<ITrovixDB> store_;
  // Set for a reading session; null for a writing one.
  ComPtr<ITrovixReader> reader_;
  HRESULT status_ = E_FAIL;
  std::string error_;
};

// "E_INVALIDARG (The parameter is incorrect.)"
[[nodiscard]] std::string Describe(HRESULT hr);

}  // namespace trovix::cli
