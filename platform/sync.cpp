#include "platform/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/paths.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a timed wait for another process's flock retries. flock has no
// timed form, so a finite wait polls; 2 ms keeps the promise of honouring a
// timeout "to within a few milliseconds" at negligible CPU cost.
constexpr Clock::duration kPollInterval = std::chrono::milliseconds(2);

// A wait's end, fixed once when the wait starts so that spurious wakeups and
// retries never extend it.
struct Deadline {
  explicit Deadline(DWORD timeout_ms)
      : infinite(timeout_ms == INFINITE),
        at(Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms)) {}
  bool infinite;
  Clock::time_point at;
};

// Waits on `cv` until `ready()` holds or the deadline passes; true when ready.
template <typename Ready>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               const Deadline& deadline, Ready ready) {
  if (deadline.infinite) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_until(lock, deadline.at, ready);
}

DWORD LockBlocking(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return WAIT_FAILED;
  }
  return WAIT_OBJECT_0;
}

DWORD LockPolling(int fd, const Deadline& deadline) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return WAIT_OBJECT_0;
    if (errno != EWOULDBLOCK && errno != EINTR) return WAIT_FAILED;
    const Clock::time_point now = Clock::now();
    if (now >= deadline.at) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::min(kPollInterval, deadline.at - now));
  }
}

// Where the namespace is looked for first: $XDG_RUNTIME_DIR/Quillon, or the
// per-user folder in /tmp when XDG_RUNTIME_DIR is unset or relative (a
// relative value is no runtime directory at all under the XDG rules).
std::string PreferredLocation() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return "/tmp/trovix-" + std::to_string(getuid());
  std::string base = runtime;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/Quillon";
}

// Where the namespace goes when the preferred folder is refused: a folder in
// the user's own state folder, which no other user can take. Every process of
// the user that meets the same refused folder derives the same fallback, so
// they still share one namespace.
std::string FallbackLocation() {
  const std::string state = SuiteStateDir();
  return state.empty() ? std::string() : state + "/run";
}

// Checks the folder through a descriptor opened without following a final
// link, so that the checks and the mode change apply to one and the same
// folder. A folder that another user owns or may write to is refused: its
// entries (lock files, sockets) could have been planted. Read or search bits
// for others are narrowed away. Returns 0 or an errno.
int VerifyPrivateFolder(const std::string& path) {
  // lstat first only to name the fault; open() below decides. (With
  // O_DIRECTORY, open() answers ENOTDIR for a link as for a file.)
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0) return errno;
  if (S_ISLNK(link.st_mode)) return ELOOP;
  if (!S_ISDIR(link.st_mode)) return ENOTDIR;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  int rc = fstat(fd, &st) == 0 ? 0 : errno;
  if (rc == 0 && st.st_uid != getuid()) rc = EPERM;
  if (rc == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) rc = EPERM;
  if (rc == 0 && (st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0) rc = errno;
  close(fd);
  return rc;
}

// Creates `path` 0700 if missing, then verifies it; 0 or an errno.
int MakeVerifiedFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return VerifyPrivateFolder(path);
}

std::atomic<RuntimeFolderReporter> g_reporter{nullptr};

// Tells the user once per process and refused folder: on stderr, and through
// the reporter when one is installed.
void ReportRefusedFolder(const std::string& path, int error, const std::string& fallback) {
  static std::mutex reported_mutex;
  static std::set<std::string> reported;  // guarded by reported_mutex
  const char* reason = error == ELOOP     ? "it is a symbolic link"
                       : error == ENOTDIR ? "it is not a folder"
                       : error == EPERM   ? "another user owns it or may write to it"
                                          : std::strerror(error);
  std::string text = "refusing the runtime folder " + path + " (" + reason + "); " +
                     (fallback.empty() ? std::string("no safe folder for locks")
                                       : "using " + fallback + " instead");
  {
    std::lock_guard lock(reported_mutex);
    if (!reported.insert(text).second) return;
  }
  std::fprintf(stderr, "trovix: %s\n", text.c_str());
  if (const RuntimeFolderReporter reporter = g_reporter.load()) reporter(text);
}

// The namespace folder in `*path`, created if missing; 0 or an errno. The
// preferred folder when it is safe, else the fallback (reported).
int OpenNamespace(std::string* path) {
  const std::string preferred = PreferredLocation();
  const int refused = MakeVerifiedFolder(preferred);
  if (refused == 0) {
    *path = preferred;
    return 0;
  }
  const std::string fallback = FallbackLocation();
  int rc = fallback.empty() ? refused : MakePrivateDirs(SuiteStateDir());
  if (rc == 0) rc = MakeVerifiedFolder(fallback);
  ReportRefusedFolder(preferred, refused, rc == 0 ? fallback : std::string());
  if (rc != 0) return rc;
  *path = fallback;
  return 0;
}

}  // namespace

void SetRuntimeFolderReporter(RuntimeFolderReporter reporter) { g_reporter.store(reporter); }

std::string RuntimeNamespaceDir() {
  std::string path;
  return OpenNamespace(&path) == 0 ? path : std::string();
}

// ---- NamedMutex ----
//
// Invariants:
//  1. A thread holds the flock exactly while it owns local_, from its first
//     level to its last; it takes the flock after acquiring local_ (waiting
//     in flock without blocking other threads' timed waits on local_) and
//     drops it before releasing local_'s last level.
//  2. If taking the flock fails, local_ is released again.

NamedMutex::NamedMutex(const std::string& name) {
  // The name becomes a file name inside the namespace; a '/' would leave it.
  if (name.empty() || name.find('/') != std::string::npos) {
    error_ = EINVAL;
    return;
  }
  std::string folder;
  if (const int rc = OpenNamespace(&folder); rc != 0) {
    error_ = rc;
    return;
  }
  const std::string file = folder + "/" + name + ".lock";
  fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  const std::string waiting = folder + "/" + name + ".waiting";
  waiting_fd_ = open(waiting.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

NamedMutex::~NamedMutex() {
  // Closing the only descriptor of this open file drops a flock still held.
  if (fd_ >= 0) close(fd_);
  if (waiting_fd_ >= 0) close(waiting_fd_);
}

// Only the thread that owns local_ touches the flock of waiting_fd_, so one
// descriptor serves every thread of the process.
DWORD NamedMutex::Wait(DWORD timeout_ms) {
  if (fd_ < 0) return WAIT_FAILED;
  const Deadline deadline(timeout_ms);
  ++waiting_;
  const DWORD local = local_.Wait(timeout_ms);
  if (local != WAIT_OBJECT_0 || local_.HeldByMe() > 1) {
    --waiting_;
    return local;
  }
  DWORD result = flock(fd_, LOCK_EX | LOCK_NB) == 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  if (result != WAIT_OBJECT_0) {
    // Blocking only against an owner's probe, which lasts one system call.
    const bool announced = waiting_fd_ >= 0 && flock(waiting_fd_, LOCK_SH) == 0;
    result = deadline.infinite ? LockBlocking(fd_) : LockPolling(fd_, deadline);
    if (announced) flock(waiting_fd_, LOCK_UN);
  }
  --waiting_;
  if (result != WAIT_OBJECT_0) local_.Release();
  return result;
}

bool NamedMutex::OthersWaiting() {
  if (waiting_.load() > 0) return true;
  if (waiting_fd_ < 0 || flock(waiting_fd_, LOCK_EX | LOCK_NB) == 0) {
    if (waiting_fd_ >= 0) flock(waiting_fd_, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

bool NamedMutex::Release() {
  const unsigned depth = local_.HeldByMe();
  if (depth == 0) return false;
  // Unlocking never blocks; the next owner of local_ takes the flock anew.
  if (depth == 1) flock(fd_, LOCK_UN);
  return local_.Release();
}

// ---- Mutex ----
// depth_ == 0 <=> unowned; otherwise owner_ holds it depth_ times.

DWORD Mutex::Wait(DWORD timeout_ms) {
  const Deadline deadline(timeout_ms);
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (depth_ > 0 && owner_ == self) {
    ++depth_;
    return WAIT_OBJECT_0;
  }
  if (!WaitUntil(idle_, lock, deadline, [this] { return depth_ == 0; })) return WAIT_TIMEOUT;
  owner_ = self;
  depth_ = 1;
  return WAIT_OBJECT_0;
}

unsigned Mutex::HeldByMe() {
  std::lock_guard lock(mutex_);
  return depth_ > 0 && owner_ == std::this_thread::get_id() ? depth_ : 0;
}

bool Mutex::Release() {
  std::lock_guard lock(mutex_);
  if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
  if (--depth_ == 0) {
    owner_ = std::thread::id();
    idle_.notify_one();
  }
  return true;
}

// ---- Event ----
//
// Auto-reset: a Set with a waiter not yet served hands that waiter a grant
// instead of setting set_, so that two Sets in quick succession release two
// waiters (a plain flag would merge them and lose one). Each grant is consumed
// by exactly one waiter, and grants_ <= waiters_ holds because a waiter leaves
// either with a grant or when none is left.
// Manual-reset: each Set of an unset event starts a new generation_; a waiter
// leaves when set_ holds or the generation it started in has ended, so a Reset
// right after Set cannot strand the threads that Set released.

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

void Event::Set() {
  std::lock_guard lock(mutex_);
  if (manual_reset_) {
    if (!set_) ++generation_;
    set_ = true;
    signalled_.notify_all();
  } else if (waiters_ > grants_) {
    ++grants_;
    signalled_.notify_one();
  } else {
    set_ = true;
  }
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

DWORD Event::Wait(DWORD timeout_ms) {
  const Deadline deadline(timeout_ms);
  std::unique_lock lock(mutex_);
  if (set_) {
    if (!manual_reset_) set_ = false;
    return WAIT_OBJECT_0;
  }
  if (manual_reset_) {
    const unsigned long started = generation_;
    const bool signalled =
        WaitUntil(signalled_, lock, deadline, [&] { return set_ || generation_ != started; });
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  ++waiters_;
  const bool granted = WaitUntil(signalled_, lock, deadline, [this] { return grants_ > 0; });
  --waiters_;
  if (!granted) return WAIT_TIMEOUT;
  --grants_;
  return WAIT_OBJECT_0;
}
