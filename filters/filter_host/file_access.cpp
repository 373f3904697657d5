#include "filters/filter_host/file_access.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace docfilter {
namespace {

// The file-system rights each Landlock ABI version knows; a ruleset may
// only name rights the running kernel knows.
std::uint64_t HandledRights(long abi) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // version 1
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
#endif
  return rights;
}

constexpr std::uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_EXECUTE;

// Owns a descriptor for the length of a scope.
struct Descriptor {
  int fd;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

}  // namespace

FileAccess RestrictFileAccess(std::initializer_list<const char*> readable) {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return FileAccess::kUnrestricted;
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = HandledRights(abi);
  const Descriptor ruleset(
      static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (ruleset.fd < 0) return FileAccess::kUnrestricted;
  for (const char* folder : readable) {
    const Descriptor beneath(open(folder, O_PATH | O_CLOEXEC | O_DIRECTORY));
    if (beneath.fd < 0) continue;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = kReadRights & attr.handled_access_fs;
    rule.parent_fd = beneath.fd;
    if (syscall(SYS_landlock_add_rule, ruleset.fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      return FileAccess::kUnrestricted;
    }
  }
  // Landlock requires no_new_privs (set again here: it is harmless twice).
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return FileAccess::kUnrestricted;
  if (syscall(SYS_landlock_restrict_self, ruleset.fd, 0) != 0) return FileAccess::kUnrestricted;
  return FileAccess::kRestricted;
}

}  // namespace docfilter
