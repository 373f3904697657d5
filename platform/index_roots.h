// Index roots: the folders the indexer scans and watches, in the place that
// logical drives hold on Windows.
//
// They are the REG_MULTI_SZ value "Index Roots" of
// HKEY_CURRENT_USER\Software\Quillon\Trovix\Kestine; when the value (or its
// key) is missing or holds no string, the one root is the user's home folder.
// The list is the drive-strings list: a root's position in it (0 for the
// first) is its completion key. Each root's scan records live in the subkey
// of that key named by the root's path exactly as returned here, '/'
// included: a key name may contain '/'.
#pragma once

#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/types.h"

struct IndexRoot {
  // UTF-8. The canonical path (realpath: absolute, no links, no "." or "..",
  // no trailing '/' except for "/" itself) when the root exists; otherwise the
  // text as configured.
  std::string path;
  // DriveTypeOfRoot(path).
  UINT drive_type = 0;
};

// The configured roots in order, each canonical and typed. A root that does
// not exist, is not a folder or is not absolute stays in the list with
// DRIVE_NO_ROOT_DIR, so the positions of the others do not move when it comes
// back. A root that names the same folder as an earlier one (after
// canonicalisation) is left out: both would scan and watch the same files.
// S_OK with at least one root; on failure `*out` is unchanged and the result
// is HRESULT_FROM_WIN32 of the registry's error (ERROR_BADDB for a damaged
// hive, ERROR_INVALID_DATA for a value of another type) or
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the value is unset and no
// home folder is known.
//
// Threads: any thread.
[[nodiscard]] HRESULT ReadIndexRoots(std::vector<IndexRoot>* out);

// The drive type of a root (UTF-8): DRIVE_NO_ROOT_DIR unless it is an
// absolute path to an existing folder (links followed), else the type of the
// file system it lies on (DriveTypeOfPath).
[[nodiscard]] UINT DriveTypeOfRoot(const std::string& root);
