#include "indexer/store_recovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "platform/com.h"
#include "platform/hresult.h"
#include "platform/sync.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {
namespace {

using Clock = std::chrono::steady_clock;

// The suite's write mutex: held by every writer of the database.
constexpr const char* kWriteMutexName = "TrovixWriteMutex";

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

std::string Describe(HRESULT hr) {
  std::string text = StatusName(hr);
  const std::string message = StatusMessage(hr);
  if (!message.empty()) text += " (" + message + ")";
  return text;
}

class Recovery {
 public:
  explicit Recovery(const StoreRecoveryParams& params)
      : params_(params), state_(*params.state), health_(state_.health) {}

  void Run() {
    const ComInit com;
    if (health_.available()) Remember();
    for (;;) {
      if (health_.available()) {
        if (!Watch()) return;
        continue;
      }
      if (!Recover()) return;
    }
  }

 private:
  // State 1. False when stopped.
  bool Watch() {
    if (in_series_ && Clock::now() - recovered_at_ >= params_.calm) {
      in_series_ = false;
      backoff_ = std::chrono::milliseconds(0);
      if (told_trouble_) state_.Report("the index database works again; indexing goes on");
      told_trouble_ = false;
    }
    if (health_.WaitForTrouble(params_.check_interval)) return true;
    if (!health_.PauseUnlessStopped(std::chrono::milliseconds(0))) return false;
    // Without a remembered file (the thread began after the open) the file
    // there now is taken as the one opened, unless there is none at all.
    const std::optional<FileIdentity> now = IdentityOf(params_.database);
    if (!opened_ && now) {
      opened_ = now;
    } else if (now != opened_ || !now) {
      static_cast<void>(health_.ReportFailure(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    }
    return true;
  }

  // State 2: one attempt. False when stopped.
  bool Recover() {
    if (!in_series_) {
      in_series_ = true;
      told_trouble_ = false;
      backoff_ = std::chrono::milliseconds(0);
    }
    if (!told_trouble_) {
      state_.Report("the index database cannot be used: " + Describe(health_.failure()) +
                    "; indexing waits until it works again");
      told_trouble_ = true;
    }
    if (!health_.PauseUnlessStopped(backoff_)) return false;
    backoff_ = backoff_.count() == 0 ? params_.first_backoff
                                     : std::min(backoff_ * 2, params_.last_backoff);
    // The connection is closed before the write mutex is taken: closing
    // takes the index store's own hold of that mutex, which would wait for
    // this thread's.
    CloseConnection();
    bool fresh = false;
    {
      NamedMutex write_mutex(kWriteMutexName);
      const bool held = write_mutex.Wait(INFINITE) == WAIT_OBJECT_0;
      const DatabaseCondition condition = params_.examine(params_.database);
      if (condition == DatabaseCondition::kMissing || condition == DatabaseCondition::kDamaged) {
        fresh = Recreate(condition);
      }
      if (held) write_mutex.Release();
      if (condition == DatabaseCondition::kUnknown ||
          (condition != DatabaseCondition::kHealthy && !fresh)) {
        return true;
      }
    }
    if (!Reopen()) return true;
    recovered_at_ = Clock::now();
    if (fresh) {
      for (const std::string& root : params_.roots) params_.request_rescan(root);
    }
    health_.MarkAvailable();
    return true;
  }

  bool Recreate(DatabaseCondition condition) {
    std::string kept_as;
    const HRESULT hr = params_.recreate(params_.database, &kept_as);
    if (FAILED(hr)) {
      state_.Report("a new index database could not be made at " + params_.database + ": " +
                    Describe(hr));
      return false;
    }
    if (condition == DatabaseCondition::kMissing) {
      state_.Report("the index database " + params_.database +
                    " was missing; a new, empty one was made and every folder is indexed again");
    } else {
      state_.Report("the index database " + params_.database + " was damaged; it was kept as " +
                    kept_as + ", a new, empty one was made and every folder is indexed again");
    }
    return true;
  }

  void CloseConnection() {
    ComPtr<ITrovixDB> store = CreateStore();
    if (store) static_cast<void>(store->Cleanup());
    opened_.reset();
  }

  // Opens the process's connection again.
  bool Reopen() {
    ComPtr<ITrovixDB> store = CreateStore();
    if (!store) return false;
    const HRESULT hr = store->Init();
    if (FAILED(hr)) return false;
    Remember();
    return true;
  }

  void Remember() { opened_ = IdentityOf(params_.database); }

  static ComPtr<ITrovixDB> CreateStore() {
    ComPtr<ITrovixDB> store;
    if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                                store.put_void()))) {
      store.reset();
    }
    return store;
  }

  const StoreRecoveryParams& params_;
  IndexerState& state_;
  StoreHealth& health_;
  std::optional<FileIdentity> opened_;  // the file this process has open
  bool in_series_ = false;
  bool told_trouble_ = false;
  std::chrono::milliseconds backoff_{0};
  Clock::time_point recovered_at_{};
};

}  // namespace

void StoreRecoveryThread(const StoreRecoveryParams& params) { Recovery(params).Run(); }

}  // namespace trovix::indexer
