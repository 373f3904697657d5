#include "tools/cli/repair_command.h"

#include <string>

#include "platform/sync.h"
#include "shared/database_format.h"
#include "shared/database_repair.h"
#include "tools/cli/store_session.h"

namespace trovix::cli {
namespace {

// How long repair waits for an index store of another process to finish its
// write before it gives up: a repair is run by hand, and a user would rather
// hear "busy" than watch it hang behind a long indexing step.
constexpr DWORD kWriteMutexTimeoutMs = 10000;

// The suite's write mutex, held for the life of the object when acquired.
class HeldWriteMutex {
 public:
  HeldWriteMutex() : mutex_("TrovixWriteMutex") {
    held_ = mutex_.Wait(kWriteMutexTimeoutMs) == WAIT_OBJECT_0;
  }
  ~HeldWriteMutex() {
    if (held_) mutex_.Release();
  }
  HeldWriteMutex(const HeldWriteMutex&) = delete;
  HeldWriteMutex& operator=(const HeldWriteMutex&) = delete;
  [[nodiscard]] bool held() const { return held_; }

 private:
  NamedMutex mutex_;
  bool held_ = false;
};

int Replace(const std::string& path, const DatabaseCheck& check, std::ostream& out,
            std::ostream& err) {
  if (check.condition == DatabaseCondition::kMissing) {
    out << "There is no index database at " << path << "; creating a new one.\n";
  } else {
    out << "The index database " << path << " is damaged: " << check.detail << "\n";
  }
  std::string kept;
  const HRESULT hr = MoveAsideAndRecreate(path, &kept);
  if (!kept.empty()) out << "The old file is kept as " << kept << "\n";
  if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)) {
    err << "trovix: the index database is in use by another program; nothing was changed. "
           "Quit kestine and vistrel, then run trovix repair again.\n";
    return 2;
  }
  if (FAILED(hr)) {
    err << "trovix: cannot put a new index database at " << path << ": " << Describe(hr) << "\n";
    return 2;
  }
  out << "A new, empty index database is in place. kestine rescans its roots on its next "
         "start; or run: trovix index DIR\n";
  return 0;
}

}  // namespace

int RunRepair(std::ostream& out, std::ostream& err) {
  const DatabaseLocation location = DefaultDatabaseLocation();
  if (location.path.empty()) {
    err << "trovix: cannot tell where the index database belongs (no home folder, or the path "
           "is too long)\n";
    return 2;
  }
  const HeldWriteMutex lock;
  if (!lock.held()) {
    err << "trovix: the index database is busy (another program is writing to it, or the lock "
           "folder is unusable); nothing was changed. Try again later.\n";
    return 2;
  }
  DatabaseCheck check;
  const HRESULT hr = CheckDatabase(location.path, &check);
  if (FAILED(hr)) {
    err << "trovix: cannot check the index database " << location.path << ": " << Describe(hr)
        << (check.detail.empty() ? "" : " (" + check.detail + ")")
        << "; nothing was changed. If another program is using it, try again later.\n";
    return 2;
  }
  if (check.condition == DatabaseCondition::kHealthy) {
    out << "The index database " << location.path << " is healthy; nothing to repair.\n";
    return 0;
  }
  return Replace(location.path, check, out, err);
}

}  // namespace trovix::cli
