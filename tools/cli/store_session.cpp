#include "tools/cli/store_session.h"

#include "platform/hresult.h"
#include "shared/database_format.h"

namespace trovix::cli {
namespace {

// Set by main before any session exists; read on the same thread.
StoreAccess g_default_access = StoreAccess::kWrite;

}  // namespace

void SetDefaultStoreAccess(StoreAccess access) { g_default_access = access; }

std::string Describe(HRESULT hr) {
  const std::string text = StatusMessage(hr);
  return StatusName(hr) + (text.empty() ? "" : " (" + text + ")");
}

StoreSession::StoreSession() : StoreSession(g_default_access) {}

StoreSession::StoreSession(StoreAccess access) {
  status_ = CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                             store_.put_void());
  if (FAILED(status_)) {
    error_ = "the index store is not installed or not registered (run trovix-setup): " +
             Describe(status_);
    return;
  }
  if (access == StoreAccess::kRead) {
    status_ = store_->QueryInterface(IID_ITrovixReader, reader_.put_void());
    if (FAILED(status_)) {
      error_ = "the installed index store cannot open the index for reading: " + Describe(status_) +
               " (run trovix-setup)";
      return;
    }
    status_ = reader_->OpenForReading();
  } else {
    status_ = store_->Init();
  }
  if (FAILED(status_)) {
    const std::string path = DefaultDatabaseLocation().path;
    error_ = status_ == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                 ? "there is no index database at " + path + " (run trovix-setup)"
                 : "cannot open the index database " + path + ": " + Describe(status_) +
                       "; details are in the diagnostic log";
  }
}

StoreSession::~StoreSession() {
  if (FAILED(status_)) return;
  if (reader_) {
    static_cast<void>(reader_->CloseForReading());
  } else {
    static_cast<void>(store_->Cleanup());
  }
}

}  // namespace trovix::cli
