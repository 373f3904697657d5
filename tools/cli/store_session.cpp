#include "tools/cli/store_session.h"

#include "platform/hresult.h"
#include "shared/database_format.h"

namespace trovix::cli {

std::string Describe(HRESULT hr) {
  const std::string text = StatusMessage(hr);
  return StatusName(hr) + (text.empty() ? "" : " (" + text + ")");
}

StoreSession::StoreSession() {
  status_ = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                             store_.put_void());
  if (FAILED(status_)) {
    error_ = "the index store is not installed or not registered (run trovix-setup): " +
             Describe(status_);
    return;
  }
  status_ = store_->Init();
  if (FAILED(status_)) {
    const std::string path = DefaultDatabaseLocation().path;
    error_ = status_ == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                 ? "there is no index database at " + path + " (run trovix-setup)"
                 : "cannot open the index database " + path + ": " + Describe(status_) +
                       "; details are in the diagnostic log";
  }
}

StoreSession::~StoreSession() {
  if (SUCCEEDED(status_)) static_cast<void>(store_->Cleanup());
}

}  // namespace trovix::cli
