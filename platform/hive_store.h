// The registry's hive files on disk: where each hive lives, the parsed copy
// every thread of the process shares, and the locked read-modify-write that
// replaces a hive file. The registry functions of registry.h are built on it;
// nothing here knows about handles or views.
//
// Invariants:
//  1. A hive file is changed only by renaming a complete new file over it,
//     under the exclusive flock of "<hive>.lock", after re-reading and parsing
//     the file under that lock; so no change of another process or thread is
//     lost and no reader sees half a file.
//  2. A hive file that does not parse is never written: loading and changing
//     it answer ERROR_BADDB until someone repairs it, and the damage is
//     reported on stderr once per distinct fault.
//  3. A cached parse is used without reading the file only while the file
//     keeps the identity it was parsed at and that identity is old enough to
//     be trusted (see hive_store.cpp); otherwise the file is read again, and
//     the cached parse is used only when the bytes read are those it was
//     parsed from.
//
// Threads: every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "platform/hive_file.h"
#include "platform/types.h"

namespace trovix {

enum class HiveId { kUser, kMachine };

// The file of hive `id`: $TROVIX_USER_HIVE or $TROVIX_MACHINE_HIVE when set,
// else the default place (see registry.h). Empty when there is no place for
// it. Looked up at every call, so that a changed variable takes effect at once.
[[nodiscard]] std::string HivePath(HiveId id);

// What identifies one version of a hive file. A rewrite renames a new inode
// into place, and an edit in place changes size or modification time.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
  }
};

struct LoadedHive {
  std::shared_ptr<const Hive> hive;  // null when the file is damaged
  FileIdentity identity;             // zero for a missing file
};

// The current content of hive `id` for reading. A missing file (or no place
// for one) is an empty hive with a zero identity. Returns ERROR_SUCCESS,
// ERROR_BADDB (then `out->hive` is null and `out->identity` names the damaged
// version), or the Windows error of the failing open, stat or read (then
// `*out` is unchanged). The hive is shared with other callers and is never
// changed; loads of the same bytes hand out the same hive object.
[[nodiscard]] LONG LoadHive(HiveId id, LoadedHive* out);

// Applies a change to a freshly parsed hive; sets `*changed` when the hive
// must be saved. Its result is handed back by MutateHive; the hive is saved
// only when it returns ERROR_SUCCESS with `*changed` set.
using HiveChange = std::function<LONG(Hive& hive, bool* changed)>;

// One locked read-modify-write of hive `id`, creating its folder and lock
// file as needed. The user's hive and its folder are private (0600, 0700);
// the machine hive is readable by every user (0644, folder 0755), and each
// call gives it that mode whatever mode it had, even when nothing changes. Returns the result of
// `change`, ERROR_BADDB for a damaged file (then `change` is not called), or the Windows error of
// the failing file operation. A missing file is an empty hive. The flock is held across the file
// I/O on purpose: it is what serialises writers.
[[nodiscard]] LONG MutateHive(HiveId id, const HiveChange& change);

}  // namespace trovix
