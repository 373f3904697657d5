#include "platform/change_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/wstring.h"

namespace trovix {

// What a walk reports for the regular files it finds.
struct ChangeSource::Listing {
  enum class Mode {
    kWatchOnly,  // nothing: Start and the rebuild after an overflow
    kAdded,      // 1 for each file: a directory that appeared
    kRenamed,    // 4 for the old path and 5 for the new: a directory renamed in the tree
  };
  Mode mode;
  std::string old_top;  // kRenamed: the walk's top before the rename
  std::string new_top;  // kRenamed: the walk's top
};

namespace {

// IN_ONLYDIR: a directory replaced by a file between our lstat and the watch
// is not watched. IN_DONT_FOLLOW: symbolic links are never followed into.
// IN_EXCL_UNLINK: a deleted file still held open stops reporting under the
// name it no longer has.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR | IN_EXCL_UNLINK;
// The root may be a symbolic link the user chose as the root: follow that one.
constexpr std::uint32_t kRootMask = kWatchMask & ~static_cast<std::uint32_t>(IN_DONT_FOLLOW);

// Reading from the kernel stops once a batch holds this many records, which
// leaves room for the listings of directories that appear in what was read.
// Unread events stay queued for the next batch.
constexpr std::size_t kReadMoreBelow = ChangeSource::kMaxRecords / 4;

// How long a directory moved away waits for its arrival before it counts as
// moved out of the tree. The kernel queues both halves of a rename in one
// call, so this only matters when a read splits the pair.
constexpr int kMoveSettleMs = 50;
constexpr int kMoveSettleRounds = 4;

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + '/' + name;
}

bool InSubtree(const std::string& path, const std::string& top) {
  return path.size() > top.size() && path.starts_with(top) && path[top.size()] == '/';
}

void AddRecord(ChangeBatch* batch, DWORD action, const std::string& path, bool directory,
               bool writing = false) {
  if (batch->records.size() >= ChangeSource::kMaxRecords) {
    batch->overflow = true;
    return;
  }
  ChangeRecord record{action, Utf8ToUtf16(path), directory, writing};
  // A burst of writes to one file is a run of records of one path and
  // action; keep one, which tells whether the last of them closed the file.
  if (!batch->records.empty()) {
    ChangeRecord& last = batch->records.back();
    if (last.action == action && last.directory == directory && last.path == record.path) {
      last.writing = writing;
      return;
    }
  }
  batch->records.push_back(std::move(record));
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entry's type without following a symbolic link, asking the file system
// only when the listing does not say.
unsigned char EntryType(int dir_fd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type;
  struct stat st {};
  if (fstatat(dir_fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  return S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

}  // namespace

ChangeSource::ChangeSource(std::string root, ErrorLog log, Skip skip)
    : root_(std::move(root)),
      log_(std::move(log)),
      skip_(std::move(skip)),
      buffer_(new char[kBufferBytes]) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ < 0) open_error_ = errno;
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ < 0 && open_error_ == 0) open_error_ = errno;
}

ChangeSource::~ChangeSource() {
  // Closing the inotify descriptor drops every watch with it.
  if (inotify_fd_ >= 0) close(inotify_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
}

int ChangeSource::Start() {
  root_gone_ = true;  // until the root is watched
  if (open_error_ != 0) return open_error_;
  struct stat st {};
  if (stat(root_.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  root_device_ = st.st_dev;
  root_wd_ = inotify_add_watch(inotify_fd_, root_.c_str(), kRootMask);
  if (root_wd_ < 0) return errno;
  root_gone_ = false;
  ChangeBatch none;
  WalkTree("", Listing{Listing::Mode::kWatchOnly, {}, {}}, &none);
  return 0;
}

void ChangeSource::RequestStop() {
  stop_requested_ = true;
  const std::uint64_t one = 1;
  // Cannot fail short of the counter's overflow; the flag alone is still
  // seen by the next WaitForChanges.
  if (stop_fd_ >= 0 && write(stop_fd_, &one, sizeof one) < 0) return;
}

ChangeBatch ChangeSource::WaitForChanges(int timeout_ms) {
  ChangeBatch batch;
  if (stop_requested_) {
    batch.stopped = true;
    return batch;
  }
  // Faults found by Start or by an earlier call are reported without waiting.
  if (root_gone_ || unwatched_ != 0 || overflow_pending_) timeout_ms = 0;
  pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  const int ready = open_error_ != 0 ? 0 : poll(fds, 2, timeout_ms);
  if (stop_requested_ || (ready > 0 && (fds[1].revents & POLLIN) != 0)) {
    batch.stopped = true;
    return batch;
  }
  if (ready > 0 && (fds[0].revents & POLLIN) != 0) ReadEvents(&batch);
  SettleMoves(&batch);
  TakePendingFaults(&batch);
  return batch;
}

std::string ChangeSource::Absolute(const std::string& relative) const {
  if (relative.empty()) return root_;
  return root_ == "/" ? "/" + relative : root_ + '/' + relative;
}

// True when `relative` is a directory of the tree (exists, not a symbolic
// link, same file system as the root) and so should be listed; a failed watch
// is noted but the directory is still listed, so that its files are reported
// once even when later changes in it go unseen.
bool ChangeSource::Watch(const std::string& relative) {
  if (relative.empty()) {
    Bind(root_wd_, "");  // watched by Start
    return true;
  }
  if (skip_ && skip_(relative, /*directory=*/true)) return false;
  const std::string path = Absolute(relative);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_dev != root_device_) return false;  // another mounted file system
  const int wd = inotify_add_watch(inotify_fd_, path.c_str(), kWatchMask);
  if (wd < 0) {
    NoteWatchFailure(errno);
  } else {
    Bind(wd, relative);
  }
  return true;
}

void ChangeSource::NoteWatchFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return;  // removed or replaced meanwhile: its parent's events say so
    case EACCES:
    case EPERM:
      return;  // unreadable: no scan can read it either, so nothing goes stale
    case ENOSPC:
      watch_limit_reached_ = true;
      break;
    default:
      break;
  }
  if (unwatched_++ == 0) first_unwatched_error_ = error;
}

void ChangeSource::Bind(int wd, const std::string& relative) {
  const auto [it, inserted] = path_of_.try_emplace(wd, relative);
  if (!inserted) {
    const auto old = wd_of_.find(it->second);
    if (old != wd_of_.end() && old->second == wd) wd_of_.erase(old);
    it->second = relative;
  }
  wd_of_[relative] = wd;
}

void ChangeSource::Unbind(int wd) {
  const auto it = path_of_.find(wd);
  if (it == path_of_.end()) return;
  // The path may already belong to a newer directory of the same name.
  const auto old = wd_of_.find(it->second);
  if (old != wd_of_.end() && old->second == wd) wd_of_.erase(old);
  path_of_.erase(it);
}

void ChangeSource::WalkTree(const std::string& top, const Listing& listing, ChangeBatch* batch) {
  std::vector<std::string> todo{top};
  while (!todo.empty() && !stop_requested_) {
    const std::string dir = std::move(todo.back());
    todo.pop_back();
    // Watch first, then list (invariant 3).
    if (Watch(dir)) ListDirectory(dir, listing, batch, &todo);
  }
}

void ChangeSource::ListDirectory(const std::string& dir, const Listing& listing, ChangeBatch* batch,
                                 std::vector<std::string>* todo) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (dir.empty() ? 0 : O_NOFOLLOW);
  const int fd = open(Absolute(dir).c_str(), flags);
  if (fd < 0) return;
  const std::unique_ptr<DIR, DirCloser> stream(fdopendir(fd));
  if (!stream) {
    close(fd);
    return;
  }
  while (const dirent* entry = readdir(stream.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const unsigned char type = EntryType(fd, *entry);
    if (type == DT_DIR) {
      todo->push_back(Join(dir, name));
    } else if (type == DT_REG && (!skip_ || !skip_(Join(dir, name), /*directory=*/false))) {
      ReportListed(Join(dir, name), listing, batch);
    }
  }
}

void ChangeSource::ReportListed(const std::string& path, const Listing& listing,
                                ChangeBatch* batch) {
  switch (listing.mode) {
    case Listing::Mode::kWatchOnly:
      return;
    case Listing::Mode::kAdded:
      AddRecord(batch, 1, path, /*directory=*/false);
      return;
    case Listing::Mode::kRenamed:
      AddRecord(batch, 4, listing.old_top + path.substr(listing.new_top.size()),
                /*directory=*/false);
      AddRecord(batch, 5, path, /*directory=*/false);
      return;
  }
}

// True when the queue was drained, false when reading stopped at the bound.
bool ChangeSource::ReadEvents(ChangeBatch* batch) {
  char* const buffer = buffer_.get();
  while (!stop_requested_) {
    if (batch->records.size() >= kReadMoreBelow) return false;
    const ssize_t got = read(inotify_fd_, buffer, kBufferBytes);
    if (got <= 0) return got < 0 && errno == EAGAIN;
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      HandleEvent(event.wd, event.mask, event.cookie, std::string(name, strnlen(name, event.len)),
                  batch);
      at += sizeof event + event.len;
    }
  }
  return false;
}

void ChangeSource::HandleEvent(int wd, std::uint32_t mask, std::uint32_t cookie,
                               const std::string& name, ChangeBatch* batch) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    overflow_pending_ = true;
    Resync();
    return;
  }
  if ((mask & IN_IGNORED) != 0) {
    if (wd == root_wd_) root_gone_ = true;
    Unbind(wd);
    return;
  }
  const auto found = path_of_.find(wd);
  if (found == path_of_.end()) return;  // a watch dropped earlier: stale
  if (wd == root_wd_ && (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
    root_gone_ = true;
    return;
  }
  // An event without a name concerns the watched directory itself; its
  // parent reports the same change by name.
  if (name.empty()) return;
  const std::string path = Join(found->second, name);
  const bool directory = (mask & IN_ISDIR) != 0;
  // A directory renamed to a skipped name is left unpaired and so dropped
  // as one moved out of the tree; one renamed from a skipped name arrives
  // unpaired, as one moved in.
  if (skip_ && skip_(path, directory)) return;
  if ((mask & IN_CREATE) != 0) {
    AddRecord(batch, 1, path, directory, /*writing=*/!directory);
    if (directory) WalkTree(path, Listing{Listing::Mode::kAdded, {}, {}}, batch);
  }
  if ((mask & IN_DELETE) != 0) AddRecord(batch, 2, path, directory);
  if ((mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) != 0) {
    AddRecord(batch, 3, path, directory, /*writing=*/(mask & IN_MODIFY) != 0);
  }
  if ((mask & IN_MOVED_FROM) != 0) {
    AddRecord(batch, 4, path, directory);
    if (directory) pending_moves_.push_back({cookie, path});
  }
  if ((mask & IN_MOVED_TO) != 0) {
    AddRecord(batch, 5, path, directory);
    if (directory) HandleMovedTo(path, cookie, batch);
  }
}

void ChangeSource::HandleMovedTo(const std::string& path, std::uint32_t cookie,
                                 ChangeBatch* batch) {
  for (auto it = pending_moves_.begin(); it != pending_moves_.end(); ++it) {
    if (it->cookie != cookie) continue;
    const std::string from = std::move(it->path);
    pending_moves_.erase(it);
    RenameSubtree(from, path);
    WalkTree(path, Listing{Listing::Mode::kRenamed, from, path}, batch);
    return;
  }
  // Moved in from outside the tree: new to us, like a created directory.
  WalkTree(path, Listing{Listing::Mode::kAdded, {}, {}}, batch);
}

// The watches stay on their directories (inotify follows the inode); only
// the paths we keep for them change.
void ChangeSource::RenameSubtree(const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, int>> moved;
  // Every path that begins with `from` lies in one run of the ordered map;
  // siblings such as "from-x" lie in it too and stay.
  for (auto it = wd_of_.lower_bound(from); it != wd_of_.end() && it->first.starts_with(from);) {
    if (it->first == from || InSubtree(it->first, from)) {
      moved.emplace_back(it->first, it->second);
      it = wd_of_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [path, wd] : moved) Bind(wd, to + path.substr(from.size()));
}

void ChangeSource::DropSubtree(const std::string& top) {
  std::vector<int> dropped;
  for (const auto& [path, wd] : wd_of_) {
    if (path == top || InSubtree(path, top)) dropped.push_back(wd);
  }
  for (const int wd : dropped) {
    inotify_rm_watch(inotify_fd_, wd);
    Unbind(wd);
  }
}

// Directories moved away whose arrival was not read: wait briefly for the
// rest of the queue, then treat what is still unpaired as moved out.
void ChangeSource::SettleMoves(ChangeBatch* batch) {
  for (int round = 0; round < kMoveSettleRounds && !pending_moves_.empty(); ++round) {
    if (stop_requested_ || !Readable(kMoveSettleMs)) break;
    // Stopped at the bound: the arrival may be queued still; the next batch
    // continues reading before it decides.
    if (!ReadEvents(batch)) return;
  }
  if (stop_requested_) return;
  for (const PendingMove& move : pending_moves_) DropSubtree(move.path);
  pending_moves_.clear();
}

// Rebuilds the watch map after the kernel lost events: renames and new
// directories may be among them. Adding a watch to a directory that has one
// returns its descriptor, so surviving watches keep their numbers.
void ChangeSource::Resync() {
  const std::unordered_map<int, std::string> before = std::move(path_of_);
  path_of_.clear();
  wd_of_.clear();
  pending_moves_.clear();
  ChangeBatch none;
  WalkTree("", Listing{Listing::Mode::kWatchOnly, {}, {}}, &none);
  for (const auto& [wd, path] : before) {
    if (!path_of_.contains(wd)) inotify_rm_watch(inotify_fd_, wd);
  }
}

void ChangeSource::TakePendingFaults(ChangeBatch* batch) {
  batch->overflow = batch->overflow || overflow_pending_;
  overflow_pending_ = false;
  batch->root_gone = root_gone_;
  if (unwatched_ == 0) return;
  batch->unwatched = unwatched_;
  if (log_) {
    std::string line = root_ + ": " + std::to_string(unwatched_) +
                       " directories could not be watched (" +
                       std::generic_category().message(first_unwatched_error_);
    if (first_unwatched_error_ == ENOSPC) line += ": the limit fs.inotify.max_user_watches";
    log_(line + "); changes in them wait for the next scan");
  }
  unwatched_ = 0;
}

bool ChangeSource::Readable(int timeout_ms) {
  pollfd fd{inotify_fd_, POLLIN, 0};
  return poll(&fd, 1, timeout_ms) > 0 && (fd.revents & POLLIN) != 0;
}

}  // namespace trovix
