// The error record of the index store's longer methods: a failing step
// raises it, and the method's one handler (RunLogged) writes the log record,
// lets the RAII guards undo what was started (transactions roll back,
// statements reset, locks release) and returns the status.
#pragma once

#include <new>

#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "platform/hresult.h"

namespace ordalis {

struct CDBException {
  HRESULT hr;
  const char* file;
  int line;
};

// Raises a CDBException for a failure code; passes success codes through.
#define ORDALIS_CHECK(expression)                                        \
  ([](HRESULT checked_hr, int checked_line) {                            \
    if (FAILED(checked_hr)) throw CDBException{checked_hr, __FILE__, checked_line}; \
    return checked_hr;                                                   \
  }((expression), __LINE__))

// Runs `body` (returning HRESULT) as a method's single handler: a raised
// error record is logged with its source position and its status returned;
// running out of memory answers E_OUTOFMEMORY.
template <typename Body>
[[nodiscard]] HRESULT RunLogged(Body&& body) {
  try {
    return body();
  } catch (const CDBException& error) {
    LogFailure(IndexStoreModule::Get().log_path, error.file, error.line, error.hr);
    return error.hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace ordalis
