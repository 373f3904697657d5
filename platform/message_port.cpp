#include "platform/message_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/paths.h"
#include "platform/sync.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMagic = 0x50565254;  // "TRVP" in memory on x86-64
constexpr std::uint16_t kVersion = 1;
constexpr std::uint16_t kReplyKind = 4;  // after the three MessageKind values

// Connections a port reads at once. A burst of more posts waits in the
// kernel's backlog and is taken as slots free up, in arrival order.
constexpr std::size_t kMaxConnections = 16;
// A frame still incomplete this long after its connection was accepted comes
// from a stuck or hostile sender and is dropped.
constexpr Clock::duration kFrameTimeout = std::chrono::seconds(5);
// How long a post may wait for room in a full backlog before it fails.
constexpr DWORD kPostTimeoutMs = 500;
// Bound on waiting for the folder lock; its holders only bind or unlink.
constexpr DWORD kLockTimeoutMs = 2000;
constexpr Clock::duration kRetryInterval = std::chrono::milliseconds(2);
// A title file larger than this is not a title we wrote.
constexpr std::size_t kMaxTitleBytes = 64 * 1024;
// Ids taken by live ports of a same-numbered process in another pid namespace
// are skipped; this many in a row means something else is wrong.
constexpr int kMaxIdAttempts = 64;

struct FrameHeader {
  std::uint32_t magic;
  std::uint16_t version;
  std::uint16_t kind;
  std::uint32_t message;
  std::uint32_t payload_size;
  std::uint64_t wparam;
  std::int64_t lparam;  // the dwData of WM_COPYDATA; the result of a reply
};
static_assert(sizeof(FrameHeader) == 32);

std::atomic<unsigned long> g_port_counter{0};

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The end of a bounded wait, fixed when the wait starts.
class Deadline {
 public:
  explicit Deadline(DWORD timeout_ms) : at_(Clock::now() + std::chrono::milliseconds(timeout_ms)) {}
  bool Passed() const { return Clock::now() >= at_; }
  // Milliseconds left, rounded up so that poll never wakes just short of it.
  int RemainingMs() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
  }

 private:
  Clock::time_point at_;
};

HRESULT TimedOut() { return HresultFromErrno(ETIMEDOUT); }

bool ParseNumber(std::string_view text, unsigned long* value) {
  if (text.empty() || text.size() > 10) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// "<pid>-<n>", both decimal.
bool ParsePortId(std::string_view id, unsigned long* pid, unsigned long* serial) {
  const std::size_t dash = id.find('-');
  return dash != std::string_view::npos && ParseNumber(id.substr(0, dash), pid) &&
         ParseNumber(id.substr(dash + 1), serial);
}

bool IsPortId(std::string_view id) {
  unsigned long pid = 0;
  unsigned long serial = 0;
  return ParsePortId(id, &pid, &serial);
}

// Top-level is spelled "" in the interface and "0" in file names.
bool IsParentId(std::string_view parent) {
  return parent.empty() || parent == "0" || IsPortId(parent);
}

std::string SocketName(std::string_view id, std::string_view parent) {
  return std::string(id) + "." + std::string(parent.empty() ? "0" : parent) + ".port";
}

struct PortName {
  std::string file;
  std::string id;
  std::string parent;  // empty for top-level
  unsigned long pid = 0;
  unsigned long serial = 0;
};

bool ParsePortName(std::string_view file, PortName* out) {
  constexpr std::string_view kSuffix = ".port";
  if (!file.ends_with(kSuffix)) return false;
  const std::string_view stem = file.substr(0, file.size() - kSuffix.size());
  const std::size_t dot = stem.find('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view id = stem.substr(0, dot);
  std::string_view parent = stem.substr(dot + 1);
  // Only the spelling SocketName makes is a port: senders rebuild the name.
  if (parent == "0") {
    parent = {};
  } else if (!IsPortId(parent)) {
    return false;
  }
  if (!ParsePortId(id, &out->pid, &out->serial)) return false;
  out->file = file;
  out->id = id;
  out->parent = parent;
  return true;
}

// The ports folder, created 0700 inside the private runtime namespace.
HRESULT PortsDir(std::string* dir) {
  const std::string space = RuntimeNamespaceDir();
  if (space.empty()) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  *dir = space + "/ports";
  const int rc = MakePrivateDirs(*dir);
  return rc == 0 ? S_OK : HresultFromErrno(rc);
}

// The address of socket `name` in `dir`. sun_path holds 107 bytes; a longer
// path is reached through /proc/self/fd/<folder>/<name>, and `*folder` keeps
// that descriptor open until the caller's bind or connect is done.
int MakeAddress(const std::string& dir, const std::string& name, sockaddr_un* addr,
                UniqueFd* folder) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  std::string path = dir + "/" + name;
  if (path.size() >= sizeof addr->sun_path) {
    folder->reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder->get() < 0) return errno;
    path = "/proc/self/fd/" + std::to_string(folder->get()) + "/" + name;
    if (path.size() >= sizeof addr->sun_path) return ENAMETOOLONG;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return 0;
}

// connect() on `fd`; 0 or errno. A non-blocking socket answers EAGAIN when
// the listener's backlog is full.
int ConnectTo(int fd, const std::string& dir, const std::string& name) {
  sockaddr_un addr;
  UniqueFd folder;
  if (const int rc = MakeAddress(dir, name, &addr, &folder); rc != 0) return rc;
  while (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int NewSocket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

enum class Liveness { kLive, kStale, kGone, kUnknown };

// Whether a port's socket has a listener; `*pid` gets the listener's process
// when the kernel reports it. The probe connection is closed at once; the
// owner accepts it and drops it at end of file.
Liveness Probe(const std::string& dir, const std::string& file, int* pid) {
  const UniqueFd fd(NewSocket());
  if (fd.get() < 0) return Liveness::kUnknown;
  const int rc = ConnectTo(fd.get(), dir, file);
  if (rc == EAGAIN) return Liveness::kLive;  // backlog full, owner alive
  if (rc == ECONNREFUSED) return Liveness::kStale;
  if (rc == ENOENT) return Liveness::kGone;
  if (rc != 0) return Liveness::kUnknown;
  ucred cred{};
  socklen_t size = sizeof cred;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) *pid = cred.pid;
  return Liveness::kLive;
}

// The folder lock, held while a port binds its socket and while a stale
// socket is removed, so that a removal never takes the name of a port being
// created (bound but not yet listening, it would look stale).
class FolderLock {
 public:
  HRESULT Acquire(const std::string& dir) {
    fd_.reset(open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd_.get() < 0) return HresultFromErrno(errno);
    const Deadline deadline(kLockTimeoutMs);
    while (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return HresultFromErrno(errno);
      if (deadline.Passed()) return TimedOut();
      std::this_thread::sleep_for(kRetryInterval);
    }
    return S_OK;
  }

 private:
  UniqueFd fd_;  // closing it drops the flock
};

std::string TitlePath(const std::string& dir, std::string_view id) {
  return dir + "/" + std::string(id) + ".title";
}

int WriteTitle(const std::string& path, std::u16string_view title) {
  const std::string bytes(reinterpret_cast<const char*>(title.data()), title.size() * 2);
  return WriteFileAtomically(path, bytes);
}

// False when the title file is missing (its port is going away) or is not a
// whole number of code units within the size cap.
bool ReadTitle(const std::string& path, std::u16string* title) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size > kMaxTitleBytes || size % 2 != 0) return false;
  title->assign(size / 2, u'\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd.get(), reinterpret_cast<char*>(title->data()) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void RemoveStale(const std::string& dir, const PortName& name) {
  FolderLock lock;
  if (FAILED(lock.Acquire(dir))) return;
  int pid = 0;
  // Checked again under the lock: the name may belong to a new port by now.
  if (Probe(dir, name.file, &pid) != Liveness::kStale) return;
  unlink((dir + "/" + name.file).c_str());
  unlink(TitlePath(dir, name.id).c_str());
}

std::vector<PortName> ListPortNames(const std::string& dir) {
  std::vector<PortName> names;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    PortName name;
    if (ParsePortName(entry->d_name, &name)) names.push_back(std::move(name));
  }
  closedir(folder);
  std::sort(names.begin(), names.end(), [](const PortName& a, const PortName& b) {
    return std::tie(a.pid, a.serial) < std::tie(b.pid, b.serial);
  });
  return names;
}

// Every live port; stale sockets met on the way are removed.
HRESULT ListLivePorts(std::vector<PortInfo>* out) {
  std::string dir;
  if (const HRESULT hr = PortsDir(&dir); FAILED(hr)) return hr;
  for (const PortName& name : ListPortNames(dir)) {
    int pid = 0;
    const Liveness liveness = Probe(dir, name.file, &pid);
    if (liveness == Liveness::kStale) RemoveStale(dir, name);
    if (liveness != Liveness::kLive) continue;
    PortInfo info{name.id, {}, name.parent, pid != 0 ? pid : static_cast<int>(name.pid)};
    if (ReadTitle(TitlePath(dir, name.id), &info.title)) out->push_back(std::move(info));
  }
  return S_OK;
}

bool TitleMatches(std::u16string_view title, std::u16string_view prefix) {
  if (prefix.empty()) return true;
  return !title.empty() && title.size() >= prefix.size() && title.starts_with(prefix);
}

// Appends the descendants of `parent` depth first. `seen` guards against a
// cycle: Open does not require a parent to exist, so ids can point in a ring.
void AppendDescendants(const std::vector<PortInfo>& all, const std::string& parent,
                       std::set<std::string>* seen, std::vector<PortInfo>* out) {
  for (const PortInfo& port : all) {
    if (port.parent_id != parent || !seen->insert(port.id).second) continue;
    out->push_back(port);
    AppendDescendants(all, port.id, seen, out);
  }
}

// --- sending -----------------------------------------------------------------

FrameHeader MakeHeader(std::uint16_t kind, UINT message, std::uint32_t payload_size,
                       std::uint64_t wparam, std::int64_t lparam) {
  return FrameHeader{kMagic, kVersion, kind, message, payload_size, wparam, lparam};
}

HRESULT Connect(const PortInfo& port, const Deadline& deadline, UniqueFd* fd) {
  if (!IsPortId(port.id) || !IsParentId(port.parent_id)) return E_INVALIDARG;
  std::string dir;
  if (const HRESULT hr = PortsDir(&dir); FAILED(hr)) return hr;
  fd->reset(NewSocket());
  if (fd->get() < 0) return HresultFromErrno(errno);
  const std::string name = SocketName(port.id, port.parent_id);
  for (;;) {
    const int rc = ConnectTo(fd->get(), dir, name);
    if (rc == 0) return S_OK;
    if (rc != EAGAIN) return HresultFromErrno(rc);
    if (deadline.Passed()) return TimedOut();
    std::this_thread::sleep_for(kRetryInterval);
  }
}

// Waits until `fd` is ready for `events`; S_OK, a time-out or an error.
HRESULT WaitFor(int fd, short events, const Deadline& deadline) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int n = poll(&entry, 1, deadline.RemainingMs());
    if (n > 0) return S_OK;
    if (n == 0) return TimedOut();
    if (errno != EINTR) return HresultFromErrno(errno);
  }
}

HRESULT WriteAll(int fd, const std::vector<BYTE>& bytes, const Deadline& deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return HresultFromErrno(errno);
    if (const HRESULT hr = WaitFor(fd, POLLOUT, deadline); FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ReadReply(int fd, UINT message, const Deadline& deadline, INT_PTR* result) {
  FrameHeader reply{};
  auto* bytes = reinterpret_cast<BYTE*>(&reply);
  std::size_t done = 0;
  while (done < sizeof reply) {
    const ssize_t n = recv(fd, bytes + done, sizeof reply - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return HresultFromErrno(ECONNRESET);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return HresultFromErrno(errno);
    if (const HRESULT hr = WaitFor(fd, POLLIN, deadline); FAILED(hr)) return hr;
  }
  if (reply.magic != kMagic || reply.version != kVersion || reply.kind != kReplyKind ||
      reply.message != message || reply.payload_size != 0) {
    return HresultFromErrno(EPROTO);
  }
  if (result != nullptr) *result = static_cast<INT_PTR>(reply.lparam);
  return S_OK;
}

// One message over its own connection; waits for the answer unless posted.
HRESULT Transact(const PortInfo& port, const FrameHeader& header, const void* payload,
                 DWORD timeout_ms, INT_PTR* result) {
  const Deadline deadline(timeout_ms);
  UniqueFd fd;
  if (const HRESULT hr = Connect(port, deadline, &fd); FAILED(hr)) return hr;
  std::vector<BYTE> frame(sizeof header + header.payload_size);
  std::memcpy(frame.data(), &header, sizeof header);
  if (header.payload_size != 0) {
    std::memcpy(frame.data() + sizeof header, payload, header.payload_size);
  }
  if (const HRESULT hr = WriteAll(fd.get(), frame, deadline); FAILED(hr)) return hr;
  if (header.kind == static_cast<std::uint16_t>(MessageKind::kPost)) return S_OK;
  return ReadReply(fd.get(), header.message, deadline, result);
}

// --- receiving ---------------------------------------------------------------

// A frame a receiver may act on. WM_COPYDATA comes only as copy-data and
// copy-data only as WM_COPYDATA, so a receiver never sees bytes it did not
// expect or misses bytes it expects.
bool ValidRequest(const FrameHeader& h) {
  if (h.magic != kMagic || h.version != kVersion) return false;
  const bool copy_data = h.kind == static_cast<std::uint16_t>(MessageKind::kCopyData);
  const bool plain = h.kind == static_cast<std::uint16_t>(MessageKind::kPost) ||
                     h.kind == static_cast<std::uint16_t>(MessageKind::kSend);
  if (copy_data) return h.message == WM_COPYDATA && h.payload_size <= kMaxCopyDataBytes;
  return plain && h.message != WM_COPYDATA && h.payload_size == 0;
}

FrameHeader HeaderOf(const std::vector<BYTE>& bytes) {
  FrameHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  return header;
}

bool SameUser(int fd) {
  ucred cred{};
  socklen_t size = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == getuid();
}

}  // namespace

struct MessagePort::Connection {
  int fd;
  Clock::time_point accepted;
  std::vector<BYTE> bytes;  // the frame as far as read: header, then payload
};

namespace {

enum class ReadState { kIncomplete, kComplete, kBad };

// Bytes still missing from the frame; the header's own size until it is in.
std::size_t Missing(const std::vector<BYTE>& bytes) {
  if (bytes.size() < sizeof(FrameHeader)) return sizeof(FrameHeader) - bytes.size();
  return sizeof(FrameHeader) + HeaderOf(bytes).payload_size - bytes.size();
}

// Reads what has arrived without blocking. The header is checked as soon as
// it is complete, so a frame announcing too much is dropped before its
// payload is read, and never more than one frame is taken from a connection.
ReadState ReadFrame(std::vector<BYTE>* bytes, int fd) {
  constexpr std::size_t kChunk = 64 * 1024;
  for (std::size_t missing = Missing(*bytes); missing != 0; missing = Missing(*bytes)) {
    const std::size_t old_size = bytes->size();
    bytes->resize(old_size + std::min(missing, kChunk));
    const ssize_t n = recv(fd, bytes->data() + old_size, bytes->size() - old_size, MSG_DONTWAIT);
    bytes->resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n == 0) return ReadState::kBad;  // closed before the frame was whole
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN ? ReadState::kIncomplete : ReadState::kBad;
    if (old_size < sizeof(FrameHeader) && bytes->size() >= sizeof(FrameHeader) &&
        !ValidRequest(HeaderOf(*bytes))) {
      return ReadState::kBad;
    }
  }
  return ReadState::kComplete;
}

Message Decode(const std::vector<BYTE>& bytes) {
  const FrameHeader header = HeaderOf(bytes);
  Message message;
  message.kind = static_cast<MessageKind>(header.kind);
  message.message = header.message;
  message.wParam = static_cast<UINT_PTR>(header.wparam);
  if (message.kind == MessageKind::kCopyData) {
    message.dwData = static_cast<ULONG_PTR>(header.lparam);
    message.data.assign(bytes.begin() + sizeof header, bytes.end());
  } else {
    message.lParam = static_cast<INT_PTR>(header.lparam);
  }
  return message;
}

}  // namespace

// --- MessagePort ---------------------------------------------------------------
//
// Invariants:
//  1. Every descriptor in connections_ is registered with epoll_fd_, and so is
//     listen_fd_; reply_fd_ is not, so a sender that writes past its frame
//     cannot keep fd() readable.
//  2. connections_.size() <= kMaxConnections.
//  3. id_ is non-empty exactly when this port's socket and title files exist
//     and are this port's to remove.

MessagePort::MessagePort() : owner_pid_(getpid()) {}

MessagePort::~MessagePort() {
  if (reply_fd_ >= 0) close(reply_fd_);
  for (const Connection& connection : connections_) close(connection.fd);
  if (!id_.empty() && getpid() == owner_pid_) {
    // Socket first: once it is gone no enumeration lists the port, so no
    // reader finds a live port without its title.
    unlink((dir_ + "/" + SocketName(id_, parent_id_)).c_str());
    unlink(TitlePath(dir_, id_).c_str());
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

HRESULT MessagePort::Open(std::u16string_view title, std::string_view parent_id,
                          std::unique_ptr<MessagePort>* out) {
  if (out == nullptr) return E_POINTER;
  if (!IsParentId(parent_id)) return E_INVALIDARG;
  std::unique_ptr<MessagePort> port(new MessagePort());
  if (const HRESULT hr = port->Bind(title, parent_id == "0" ? "" : parent_id); FAILED(hr)) {
    return hr;
  }
  *out = std::move(port);
  return S_OK;
}

namespace {

// Binds `fd` to the socket of port `id`, its title written first so that a
// live port always has one. S_FALSE when a live port has the id, under
// whatever parent: ids, and so title files, must be unique among live ports.
// Runs under the folder lock.
HRESULT Claim(int fd, const std::string& dir, const std::string& id, const std::string& parent,
              std::u16string_view title) {
  for (const PortName& other : ListPortNames(dir)) {
    if (other.id != id) continue;
    int pid = 0;
    if (Probe(dir, other.file, &pid) != Liveness::kStale) return S_FALSE;
    unlink((dir + "/" + other.file).c_str());
  }
  const std::string name = SocketName(id, parent);
  const std::string path = dir + "/" + name;
  if (const int rc = WriteTitle(TitlePath(dir, id), title); rc != 0) return HresultFromErrno(rc);
  sockaddr_un addr;
  UniqueFd folder;
  int rc = MakeAddress(dir, name, &addr, &folder);
  if (rc == 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) rc = errno;
  // The folder is private already; 0600 keeps the socket so if it moves.
  if (rc == 0 && chmod(path.c_str(), 0600) != 0) rc = errno;
  if (rc == 0) return S_OK;
  if (rc != EADDRINUSE) unlink(TitlePath(dir, id).c_str());
  return rc == EADDRINUSE ? S_FALSE : HresultFromErrno(rc);
}

}  // namespace

HRESULT MessagePort::Bind(std::u16string_view title, std::string_view parent_id) {
  if (const HRESULT hr = PortsDir(&dir_); FAILED(hr)) return hr;
  parent_id_ = parent_id;
  title_ = title;
  listen_fd_ = NewSocket();
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (listen_fd_ < 0 || epoll_fd_ < 0) return HresultFromErrno(errno);
  FolderLock lock;
  if (const HRESULT hr = lock.Acquire(dir_); FAILED(hr)) return hr;
  for (int attempt = 0; attempt < kMaxIdAttempts; ++attempt) {
    const std::string id = std::to_string(owner_pid_) + "-" + std::to_string(++g_port_counter);
    const HRESULT hr = Claim(listen_fd_, dir_, id, parent_id_, title_);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE) continue;
    id_ = id;  // from here the destructor removes the files
    epoll_event event{EPOLLIN, {.fd = listen_fd_}};
    if (listen(listen_fd_, SOMAXCONN) != 0 ||
        epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event) != 0) {
      return HresultFromErrno(errno);
    }
    return S_OK;
  }
  return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
}

PortInfo MessagePort::info() const { return PortInfo{id_, title_, parent_id_, owner_pid_}; }

HRESULT MessagePort::SetTitle(std::u16string_view title) {
  if (const int rc = WriteTitle(TitlePath(dir_, id_), title); rc != 0) return HresultFromErrno(rc);
  title_ = title;
  return S_OK;
}

void MessagePort::AcceptPending() {
  while (connections_.size() < kMaxConnections) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd < 0) return;  // EAGAIN: nothing pending; anything else: try next time
    epoll_event event{EPOLLIN, {.fd = fd}};
    if (!SameUser(fd) || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      close(fd);
      continue;
    }
    connections_.push_back(Connection{fd, Clock::now(), {}});
  }
}

void MessagePort::Forget(std::size_t index, bool close_fd) {
  const int fd = connections_[index].fd;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  if (close_fd) close(fd);
  connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
}

HRESULT MessagePort::ReceiveOne(Message* out) {
  if (out == nullptr) return E_POINTER;
  if (reply_fd_ >= 0) Reply(0);
  AcceptPending();
  const Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < connections_.size();) {
    Connection& connection = connections_[i];
    const ReadState state = ReadFrame(&connection.bytes, connection.fd);
    if (state == ReadState::kIncomplete && now - connection.accepted < kFrameTimeout) {
      ++i;
      continue;
    }
    if (state != ReadState::kComplete) {
      Forget(i, /*close_fd=*/true);
      continue;
    }
    *out = Decode(connection.bytes);
    if (out->needs_reply()) {
      reply_fd_ = connection.fd;
      reply_message_ = out->message;
    }
    Forget(i, /*close_fd=*/!out->needs_reply());
    return S_OK;
  }
  // Every slot holds a frame still arriving. Dropping the oldest makes room
  // for the backlog, so a flood of stalled connections cannot shut the port.
  if (connections_.size() >= kMaxConnections) Forget(0, /*close_fd=*/true);
  return S_FALSE;
}

HRESULT MessagePort::Reply(INT_PTR result) {
  if (reply_fd_ < 0) return S_FALSE;
  const FrameHeader header = MakeHeader(kReplyKind, reply_message_, 0, 0, result);
  // A fresh connection's buffer always has room for one header, so this
  // never waits; a sender that gave up makes it fail, which is harmless.
  const ssize_t n = send(reply_fd_, &header, sizeof header, MSG_NOSIGNAL | MSG_DONTWAIT);
  const int error = n == static_cast<ssize_t>(sizeof header) ? 0 : (n < 0 ? errno : EAGAIN);
  close(reply_fd_);
  reply_fd_ = -1;
  return error == 0 ? S_OK : HresultFromErrno(error);
}

// --- free functions --------------------------------------------------------------

HRESULT EnumerateTopLevelPorts(std::u16string_view title_prefix, std::vector<PortInfo>* out) {
  if (out == nullptr) return E_POINTER;
  out->clear();
  std::vector<PortInfo> all;
  if (const HRESULT hr = ListLivePorts(&all); FAILED(hr)) return hr;
  for (PortInfo& port : all) {
    if (port.parent_id.empty() && TitleMatches(port.title, title_prefix)) {
      out->push_back(std::move(port));
    }
  }
  return out->empty() ? S_FALSE : S_OK;
}

HRESULT EnumerateChildPorts(std::string_view parent_id, std::vector<PortInfo>* out) {
  if (out == nullptr) return E_POINTER;
  out->clear();
  if (!IsPortId(parent_id)) return E_INVALIDARG;
  std::vector<PortInfo> all;
  if (const HRESULT hr = ListLivePorts(&all); FAILED(hr)) return hr;
  std::set<std::string> seen{std::string(parent_id)};
  AppendDescendants(all, std::string(parent_id), &seen, out);
  return out->empty() ? S_FALSE : S_OK;
}

HRESULT PostPortMessage(const PortInfo& port, UINT message, UINT_PTR wParam, INT_PTR lParam) {
  if (message == WM_COPYDATA) return E_INVALIDARG;
  const FrameHeader header =
      MakeHeader(static_cast<std::uint16_t>(MessageKind::kPost), message, 0, wParam, lParam);
  return Transact(port, header, nullptr, kPostTimeoutMs, nullptr);
}

HRESULT SendPortMessage(const PortInfo& port, UINT message, UINT_PTR wParam, INT_PTR lParam,
                        DWORD timeout_ms, INT_PTR* result) {
  if (message == WM_COPYDATA || timeout_ms == INFINITE) return E_INVALIDARG;
  const FrameHeader header =
      MakeHeader(static_cast<std::uint16_t>(MessageKind::kSend), message, 0, wParam, lParam);
  return Transact(port, header, nullptr, timeout_ms, result);
}

HRESULT SendCopyData(const PortInfo& port, ULONG_PTR dwData, const void* data, DWORD size,
                     DWORD timeout_ms, INT_PTR* result) {
  if (size > kMaxCopyDataBytes || timeout_ms == INFINITE) return E_INVALIDARG;
  if (data == nullptr && size != 0) return E_POINTER;
  const FrameHeader header = MakeHeader(static_cast<std::uint16_t>(MessageKind::kCopyData),
                                        WM_COPYDATA, size, 0, static_cast<std::int64_t>(dwData));
  return Transact(port, header, data, timeout_ms, result);
}
