// The command-line tool's connection to the index store: the component
// library initialised on this thread, one index store object, the database
// opened. Cleanup at the end saves the statistics counters.
#pragma once

#include <ostream>
#include <string>

#include "platform/com.h"
#include "shared/itrovixdb.h"

namespace trovix::cli {

class StoreSession {
 public:
  StoreSession();
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
  HRESULT status_ = E_FAIL;
  std::string error_;
};

// "E_INVALIDARG (The parameter is incorrect.)"
[[nodiscard]] std::string Describe(HRESULT hr);

}  // namespace trovix::cli
