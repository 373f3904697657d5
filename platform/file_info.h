// What the catalogue asks the file system about a path: its times and size,
// and the type of the drive (file system) it lies on.
//
// Neither function opens the path. That matters for the index store, whose
// database file must never be opened outside SQLite in a process that has it
// open (closing any descriptor of a file drops all the process's POSIX locks
// on it).
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

// Drive types, with the numbers GetDriveTypeW gives them.
inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

struct FileAttributes {
  FILETIME creation;  // birth time when the file system reports one, else last_write
  FILETIME last_access;
  FILETIME last_write;
  std::uint64_t size;  // st_size, also for directories
  bool directory;
  bool regular;  // neither set: a device, FIFO or socket
};

// Reads the attributes of what `path` (UTF-8) names, following symbolic links
// all the way: the catalogue describes the content that opening the path
// yields, and the checksum it stores is read through the same links. Returns 0,
// or the errno value of the failure (`*out` is then unchanged).
[[nodiscard]] int ReadFileAttributes(const std::string& path, FileAttributes* out);

// The drive type of the file system holding `path` (UTF-8): remote file
// systems (NFS, SMB, 9p, network FUSE mounts such as sshfs, ...) DRIVE_REMOTE;
// tmpfs and ramfs DRIVE_RAMDISK; ISO 9660 and UDF DRIVE_CDROM; a block device
// that the kernel marks removable DRIVE_REMOVABLE; proc, sysfs and the other
// kernel pseudo file systems DRIVE_UNKNOWN; a missing path DRIVE_NO_ROOT_DIR;
// anything else DRIVE_FIXED. Removable and remote FUSE detection are best
// effort (sysfs and /proc/self/mountinfo); when they cannot tell, the answer
// is DRIVE_FIXED.
[[nodiscard]] UINT DriveTypeOfPath(const std::string& path);
