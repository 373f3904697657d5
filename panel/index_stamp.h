// Whether the index may have changed since the panel's held results were
// made, told from two stat() calls and nothing else.
//
// The panel opens the index store only for the length of one operation, and
// the indexer commits from another process, so no connection lives long
// enough to count commits (the engine's own data version is per connection).
// What every committing writer cannot help changing is the database file or
// its write-ahead log: each commit writes one of them, and every write sets
// the file's modification time to the current time. The stamp holds, for
// both files, presence, device, inode, size and modification time in
// nanoseconds. The change time is left out: opening the log as root makes
// the engine hand the file to the database's owner, which moves the change
// time of a file nobody wrote, and every search would evaluate again.
//
// Why that cannot miss a committed change:
//  1. A commit appends frames to the log, or after a checkpoint rewrites the
//     log from its start at the same size; either way the log's modification
//     time moves on. A checkpoint writes the database file, and a truncating
//     one also cuts the log's size.
//  2. A file put in place of the database (a rebuild, a restore) is another
//     inode while both exist; one made after the old was deleted gets a
//     modification time after the stamp, or keeps the time of a copy, which
//     matches the stamp only for that very state of the index.
//  3. Two writes within one tick of the file-system clock get the same time.
//     So a stamp only vouches for the index when its newest modification
//     time is older than kSettleTime before the clock was read for it; a
//     write after that reading then gets a later time. A stamp taken sooner
//     is "unsettled" and never compares as unchanged: the next search
//     evaluates again. The clock being set back to the very nanosecond of an
//     earlier write is the one case not covered.
// A change that commits nothing (the last connection's close, which
// checkpoints) may still move the stamp; that costs one needless evaluation,
// never a stale list.
//
// No file is opened: the engine holds POSIX locks on the database, which any
// close() of another descriptor on it in this process would drop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace trovix::panel {

// Newer modification times than this, at the moment of the stamp, leave it unsettled:
// above the coarsest step of file times on a file system a home folder may be
// on (2 s, FAT) plus the kernel clock's tick.
inline constexpr std::chrono::seconds kSettleTime{3};

// What stat() tells of one file; absent files are all equal.
struct FileState {
  bool present = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // since the Unix epoch
  friend bool operator==(const FileState&, const FileState&) = default;
};

class IndexStamp {
 public:
  using Clock = std::chrono::system_clock;

  // A stamp that vouches for nothing: never unchanged.
  IndexStamp() = default;
  // The stamp of `database` and its "-wal" log, judged settled against
  // `now`, which the caller reads before this call. An empty path, or a
  // stat() failure other than a missing file, gives an unknown stamp.
  static IndexStamp Take(const std::string& database, Clock::time_point now);
  // The same against the real clock.
  static IndexStamp Take(const std::string& database);
  // From given states, for callers that have them already.
  IndexStamp(const FileState& database, const FileState& log, Clock::time_point now);

  // True only when no change can have been committed between this stamp and
  // `later`: both known, this one settled, and both files as they were.
  [[nodiscard]] bool UnchangedAt(const IndexStamp& later) const;

  [[nodiscard]] bool known() const { return known_; }
  [[nodiscard]] bool settled() const { return settled_; }
  [[nodiscard]] const FileState& database() const { return database_; }
  [[nodiscard]] const FileState& log() const { return log_; }

 private:
  bool known_ = false;
  bool settled_ = false;
  FileState database_;
  FileState log_;
};

}  // namespace trovix::panel
