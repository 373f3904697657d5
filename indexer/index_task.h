// One queued change of one path, as the change monitors report it and the
// task applier applies it.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace trovix::indexer {

// The change record's action code.
enum ChangeKind : DWORD {
  kAdded = 1,
  kRemoved = 2,
  kModified = 3,
  kRenamedOldName = 4,
  kRenamedNewName = 5,
};

struct IndexTask {
  WString path;
  DWORD kind = 0;
  // Seconds since 1970-01-01 UTC when the task was made (or last refreshed
  // by a duplicate); saved with the task, no decision depends on it.
  DWORD time_stamp = 0;
  // The change monitor saw the file created or written to and not yet
  // closed: its writer may not be done (see change_coalescer.h). Not part of
  // the order and not saved: a task loaded or made elsewhere reads as done.
  bool writing = false;

  // "Added", "Removed", "Modified", "Renamed - old name", "Renamed - new
  // name", or "Huh?" for any other kind.
  [[nodiscard]] std::string_view KindName() const;
};

// The order of both task sets: by path, compared exactly (file names are
// case-sensitive on Linux: two paths differing in case are two tasks), then
// by kind. A set holds at most one task per (path, kind).
struct TaskOrder {
  bool operator()(const IndexTask& a, const IndexTask& b) const {
    return a.path != b.path ? a.path < b.path : a.kind < b.kind;
  }
};

}  // namespace trovix::indexer
