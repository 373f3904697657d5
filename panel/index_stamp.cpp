#include "panel/index_stamp.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

namespace trovix::panel {
namespace {

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// The state of `path`; none when stat() fails for another reason than a
// missing file (the index cannot be vouched for then).
std::optional<FileState> StateOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return FileState{};
    return std::nullopt;
  }
  return FileState{/*present=*/true, static_cast<std::uint64_t>(st.st_dev),
                   static_cast<std::uint64_t>(st.st_ino), static_cast<std::int64_t>(st.st_size),
                   Nanoseconds(st.st_mtim)};
}

std::int64_t TimeOf(const FileState& file) {
  return file.present ? file.modified_ns : std::numeric_limits<std::int64_t>::min();
}

}  // namespace

IndexStamp::IndexStamp(const FileState& database, const FileState& log, Clock::time_point now)
    : known_(true), database_(database), log_(log) {
  const std::int64_t limit =
      std::chrono::duration_cast<std::chrono::nanoseconds>((now - kSettleTime).time_since_epoch())
          .count();
  settled_ = std::max(TimeOf(database_), TimeOf(log_)) < limit;
}

IndexStamp IndexStamp::Take(const std::string& database, Clock::time_point now) {
  if (database.empty()) return IndexStamp();
  const std::optional<FileState> file = StateOf(database);
  const std::optional<FileState> log = StateOf(database + "-wal");
  if (!file || !log) return IndexStamp();
  return IndexStamp(*file, *log, now);
}

IndexStamp IndexStamp::Take(const std::string& database) {
  // The clock is read first: a write after the reading gets a later time.
  const Clock::time_point now = Clock::now();
  return Take(database, now);
}

bool IndexStamp::UnchangedAt(const IndexStamp& later) const {
  return known_ && later.known_ && settled_ && database_ == later.database_ && log_ == later.log_;
}

}  // namespace trovix::panel
