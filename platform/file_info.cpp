#include "platform/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/filetime.h"

namespace {

FILETIME FromStatx(const statx_timestamp& t) {
  return TimespecToFileTime(timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
}

// File-system magic numbers (statfs f_type) by drive type. Kept here rather
// than taken from <linux/magic.h>, which lacks several of them (CIFS, SMB2,
// FUSE, Ceph).
constexpr std::array<unsigned long, 12> kRemoteMagic = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x01021997,  // 9p
    0x00C36400,  // Ceph
    0x73757245,  // Coda
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x564C,      // NCP
    0x0BD00BD0,  // Lustre
    0x47504653,  // GPFS
};
constexpr std::array<unsigned long, 2> kRamMagic = {0x01021994 /* tmpfs */, 0x858458F6 /* ramfs */};
constexpr std::array<unsigned long, 2> kOpticalMagic = {0x9660 /* isofs */, 0x15013346 /* udf */};
constexpr std::array<unsigned long, 21> kPseudoMagic = {
    0x9FA0,      // proc
    0x62656572,  // sysfs
    0x1CD1,      // devpts
    0x27E0EB,    // cgroup
    0x63677270,  // cgroup2
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x6165676C,  // pstore
    0xCAFE4A11,  // bpf
    0x62656570,  // configfs
    0xDE5E81E4,  // efivarfs
    0x958458F6,  // hugetlbfs
    0x19800202,  // mqueue
    0x42494E4D,  // binfmt_misc
    0x0187,      // autofs
    0xF97CFF8C,  // selinuxfs
    0x65735543,  // fusectl
    0x6E736673,  // nsfs
    0x50495045,  // pipefs
    0x534F434B,  // sockfs
};
constexpr unsigned long kFuseMagic = 0x65735546;

// FUSE subtypes that reach over the network; every other FUSE mount (NTFS,
// exFAT, archives, ...) counts as local.
constexpr std::array<std::string_view, 10> kRemoteFuseTypes = {
    "fuse.sshfs", "fuse.rclone",    "fuse.s3fs",     "fuse.gcsfuse",    "fuse.curlftpfs",
    "fuse.davfs", "fuse.glusterfs", "fuse.smbnetfs", "fuse.gvfsd-fuse", "fuse.afpfs"};

template <std::size_t N>
bool Contains(const std::array<unsigned long, N>& table, unsigned long value) {
  return std::find(table.begin(), table.end(), value) != table.end();
}

// The file-system type ("fuse.sshfs") of the mount whose device is
// major:minor, from /proc/self/mountinfo; empty when not found.
std::string MountTypeOfDevice(unsigned major, unsigned minor) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string device = std::to_string(major) + ":" + std::to_string(minor);
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev;
    fields >> id >> parent >> dev;
    if (dev != device) continue;
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type;
    tail >> type;
    return type;
  }
  return {};
}

// True when sysfs marks the block device major:minor, or the disk it is a
// partition of, removable.
bool BlockDeviceIsRemovable(unsigned major, unsigned minor) {
  const std::string base = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  for (const std::string& path : {base + "/removable", base + "/../removable"}) {
    std::ifstream flag(path);
    char value = 0;
    if (flag.get(value)) return value == '1';
  }
  return false;
}

}  // namespace

int ReadFileAttributes(const std::string& path, FileAttributes* out) {
  struct statx sx {};
  const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_BTIME;
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, mask, &sx) != 0) return errno;
  FileAttributes attributes{};
  attributes.last_write = FromStatx(sx.stx_mtime);
  attributes.last_access = FromStatx(sx.stx_atime);
  attributes.creation =
      (sx.stx_mask & STATX_BTIME) != 0 ? FromStatx(sx.stx_btime) : attributes.last_write;
  attributes.size = sx.stx_size;
  attributes.directory = S_ISDIR(sx.stx_mode);
  attributes.regular = S_ISREG(sx.stx_mode);
  *out = attributes;
  return 0;
}

UINT DriveTypeOfPath(const std::string& path) {
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? DRIVE_NO_ROOT_DIR : DRIVE_UNKNOWN;
  }
  const auto magic = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul;
  if (Contains(kRemoteMagic, magic)) return DRIVE_REMOTE;
  if (Contains(kRamMagic, magic)) return DRIVE_RAMDISK;
  if (Contains(kOpticalMagic, magic)) return DRIVE_CDROM;
  if (Contains(kPseudoMagic, magic)) return DRIVE_UNKNOWN;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return DRIVE_FIXED;
  const unsigned major = ::major(st.st_dev);
  const unsigned minor = ::minor(st.st_dev);
  if (magic == kFuseMagic) {
    const std::string type = MountTypeOfDevice(major, minor);
    const bool remote =
        std::find(kRemoteFuseTypes.begin(), kRemoteFuseTypes.end(), type) != kRemoteFuseTypes.end();
    return remote ? DRIVE_REMOTE : DRIVE_FIXED;
  }
  // Anonymous devices (major 0: btrfs subvolumes, overlays) have no sysfs entry.
  if (major != 0 && BlockDeviceIsRemovable(major, minor)) return DRIVE_REMOVABLE;
  return DRIVE_FIXED;
}
