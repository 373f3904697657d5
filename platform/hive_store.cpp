#include "platform/hive_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "platform/hresult.h"
#include "platform/paths.h"

namespace trovix {
namespace {

constexpr LONG kOk = ERROR_SUCCESS;
constexpr LONG Fail(DWORD error) { return static_cast<LONG>(error); }
LONG FailErrno(int error) { return Fail(Win32ErrorFromErrno(error)); }

// --- where the hives are ------------------------------------------------------

// Anchors the search for the installation that holds this library.
const char kLibraryAnchor = 0;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

const char* RootName(HiveId id) {
  return id == HiveId::kUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// --- reading hive files -------------------------------------------------------

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// 0 or the errno value of the failing read.
int ReadAll(int fd, std::string* text) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) text->append(buffer, static_cast<std::size_t>(n));
  }
}

FileIdentity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// A file modified this recently may be modified again within the same clock
// tick of the file system, and inode numbers are reused, so its identity
// alone cannot prove that a cached parse is current. Two seconds covers file
// systems with whole-second (or FAT's two-second) timestamps.
bool IsSettled(const FileIdentity& identity) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - identity.modified.tv_sec >= 2;
}

// Parsed hives by file path, shared by every thread of the process.
//
// A file whose identity is settled is trusted by identity alone and not
// read. A younger one is read, and its parse is reused when the bytes are
// exactly those parsed last time: the same text gives the same hive, so that
// proof holds where identity cannot. This is what spares the reads that
// follow a write of the hive (the next two seconds of registry calls) from
// parsing it again and again.
class HiveCache {
 public:
  // The cached parse of that version of the file, if its identity alone
  // proves it current.
  std::optional<LoadedHive> FindSettled(const std::string& path, const FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(path);
    if (it == entries_.end() || !it->second.settled || !(it->second.loaded.identity == identity)) {
      return std::nullopt;
    }
    return it->second.loaded;
  }

  // The cached parse of `text` if the last parse of this path was of these
  // very bytes; it is then kept as the parse of the version at `identity`.
  std::optional<LoadedHive> FindSameText(const std::string& path, const std::string& text,
                                         const FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(path);
    if (it == entries_.end() || it->second.text != text) return std::nullopt;
    it->second.loaded.identity = identity;
    it->second.settled = IsSettled(identity);
    return it->second.loaded;
  }

  void Store(const std::string& path, const LoadedHive& loaded, std::string text) {
    std::lock_guard lock(mutex_);
    entries_[path] = {loaded, IsSettled(loaded.identity), std::move(text)};
  }

  // Reports a damaged file on stderr once, not at every operation that
  // meets it; a file that parses again is reported anew when damaged later.
  void ReportDamage(const std::string& path, const HiveParseError* error) {
    std::lock_guard lock(mutex_);
    if (error == nullptr) {
      reported_.erase(path);
      return;
    }
    std::string message = "line " + std::to_string(error->line) + ": " + error->reason;
    if (reported_[path] == message) return;
    std::fprintf(stderr, "trovix: registry hive %s is damaged at %s; it is left unchanged\n",
                 path.c_str(), message.c_str());
    reported_[path] = std::move(message);
  }

 private:
  struct Entry {
    LoadedHive loaded;
    bool settled = false;
    std::string text;  // the bytes `loaded` was parsed from
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;         // Guarded by mutex_.
  std::map<std::string, std::string> reported_;  // Guarded by mutex_.
};

// Never destroyed: registry calls from other static destructors stay valid.
HiveCache& Cache() {
  static HiveCache* cache = new HiveCache;
  return *cache;
}

// Parses `text` as hive `id`; reports damage. Null when damaged.
std::shared_ptr<Hive> ParseFile(HiveId id, const std::string& path, const std::string& text) {
  auto hive = std::make_shared<Hive>(RootName(id));
  HiveParseError error;
  if (!ParseHive(text, hive.get(), &error)) {
    Cache().ReportDamage(path, &error);
    return nullptr;
  }
  Cache().ReportDamage(path, nullptr);
  return hive;
}

// The machine hive holds the installation's registrations, which every user's
// programs read and which hold no secret: it is readable by all. The user's
// hive holds the user's settings and stays private.
mode_t HiveFileMode(HiveId id) { return id == HiveId::kMachine ? 0644 : 0600; }

// Creates the machine hive's folder readable by all, and opens up one that an
// earlier version made private (0700) when it is ours to change.
int OpenMachineFolder(const std::string& folder) {
  if (const int error = MakeDirs(folder, 0755); error != 0) return error;
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return errno;
  if (st.st_uid == geteuid() && (st.st_mode & 0055) != 0055 &&
      chmod(folder.c_str(), (st.st_mode & 07777) | 0055) != 0) {
    return errno;
  }
  return 0;
}

// Gives an existing machine hive of ours mode 0644. Best effort: a hive we
// cannot change is one we could not have written either.
void OpenUpMachineHive(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != 0644) {
    static_cast<void>(chmod(path.c_str(), 0644));
  }
}

}  // namespace

std::string HivePath(HiveId id) {
  if (id == HiveId::kUser) {
    if (std::string path = Environment("TROVIX_USER_HIVE"); !path.empty()) return path;
    const std::string config = ConfigHome();
    return config.empty() ? "" : config + "/Quillon/user.reg";
  }
  if (std::string path = Environment("TROVIX_MACHINE_HIVE"); !path.empty()) return path;
  // An installed library lives in <prefix>/lib/trovix, a built one in
  // <build>/lib; the machine hive in <prefix>/etc, or in /etc for the
  // system's own prefix /usr, which has no etc/ of its own. Resolved once:
  // the library does not move while it is loaded, and the resolution costs a
  // readlink per folder of its path on every hive access.
  static const std::string folder = FolderOfAddress(&kLibraryAnchor);
  if (folder.empty()) return "";
  std::filesystem::path lib = std::filesystem::path(folder).lexically_normal();
  if (lib.filename().empty()) lib = lib.parent_path();  // the trailing slash
  if (lib.filename() == "trovix" && lib.parent_path().filename() == "lib") lib = lib.parent_path();
  const std::filesystem::path prefix = lib.parent_path();
  if (prefix == "/usr" || prefix == "/usr/") return "/etc/Quillon/machine.reg";
  return (prefix / "etc/Quillon/machine.reg").string();
}

LONG LoadHive(HiveId id, LoadedHive* out) {
  const std::string path = HivePath(id);
  // Most loads find a settled file parsed before: one stat proves that,
  // without opening, reading and closing the file.
  struct stat st {};
  if (!path.empty() && stat(path.c_str(), &st) == 0) {
    if (std::optional<LoadedHive> cached = Cache().FindSettled(path, IdentityOf(st))) {
      *out = std::move(*cached);
      return out->hive != nullptr ? kOk : Fail(ERROR_BADDB);
    }
  }
  const UniqueFd fd(path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (!path.empty() && errno != ENOENT) return FailErrno(errno);
    *out = {std::make_shared<Hive>(RootName(id)), {}};
    return kOk;
  }
  if (fstat(fd.get(), &st) != 0) return FailErrno(errno);
  const FileIdentity identity = IdentityOf(st);
  if (std::optional<LoadedHive> cached = Cache().FindSettled(path, identity)) {
    *out = std::move(*cached);
  } else {
    std::string text;
    if (const int error = ReadAll(fd.get(), &text); error != 0) return FailErrno(error);
    if (std::optional<LoadedHive> same = Cache().FindSameText(path, text, identity)) {
      *out = std::move(*same);
    } else {
      *out = {ParseFile(id, path, text), identity};
      Cache().Store(path, *out, std::move(text));
    }
  }
  return out->hive != nullptr ? kOk : Fail(ERROR_BADDB);
}

// Each call opens its own lock description, so the flock serialises writers
// within this process as well as across processes.
LONG MutateHive(HiveId id, const HiveChange& change) {
  const std::string path = HivePath(id);
  if (path.empty()) return FailErrno(ENOENT);
  const std::string folder = std::filesystem::path(path).parent_path();
  const bool machine = id == HiveId::kMachine;
  if (const int error = folder.empty() ? 0
                        : machine      ? OpenMachineFolder(folder)
                                       : MakePrivateDirs(folder);
      error != 0) {
    return FailErrno(error);
  }
  const UniqueFd lock(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return FailErrno(errno);
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FailErrno(errno);
  }
  std::string text;
  if (const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC)); file.get() >= 0) {
    if (const int error = ReadAll(file.get(), &text); error != 0) return FailErrno(error);
  } else if (errno != ENOENT) {
    return FailErrno(errno);
  }
  const std::shared_ptr<Hive> hive = ParseFile(id, path, text);
  if (hive == nullptr) return Fail(ERROR_BADDB);
  bool changed = false;
  if (const LONG result = change(*hive, &changed); result != kOk || !changed) {
    // An unchanged machine hive left private by an earlier version is opened
    // up all the same: re-running the installation is how that is mended.
    if (result == kOk && machine) OpenUpMachineHive(path);
    return result;
  }
  if (const int error = WriteFileAtomically(path, SerializeHive(*hive), HiveFileMode(id));
      error != 0) {
    return FailErrno(error);
  }
  return kOk;
}

}  // namespace trovix
