// Confines the helper to the files it is handed: after RestrictFileAccess,
// opening a path outside the given read-only folders fails with EACCES
// (Landlock), whatever the user's own rights; descriptors already open,
// and those received later over a socket, are unaffected.
#pragma once

#include <initializer_list>

namespace docfilter {

// How far the restriction took: the kernel may lack Landlock (it is then
// best effort, like the rest of the sandbox).
enum class FileAccess { kRestricted, kUnrestricted };

// Lets this process (and threads and children it makes later) open only
// files and folders below `readable`, for reading; nothing may be written,
// created, removed or executed anywhere else. Folders that do not exist are
// left out.
FileAccess RestrictFileAccess(std::initializer_list<const char*> readable);

}  // namespace docfilter
