// The user's folders and the suite's files in them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// $XDG_CONFIG_HOME, $XDG_DATA_HOME, $XDG_STATE_HOME, each defaulting under
// $HOME (.config, .local/share, .local/state) as the XDG base directory rules
// say; a relative value is ignored. Empty when neither is usable.
[[nodiscard]] std::string ConfigHome();
[[nodiscard]] std::string DataHome();
[[nodiscard]] std::string StateHome();

// Folders of the suite: <config>/Quillon, <data>/Quillon, <state>/Quillon.
[[nodiscard]] std::string SuiteConfigDir();
[[nodiscard]] std::string SuiteDataDir();
[[nodiscard]] std::string SuiteStateDir();

// Creates `path` and its missing parents; folders created here get mode 0700.
// Returns 0 or the errno value of the failing step. An existing folder is
// left as it is.
[[nodiscard]] int MakePrivateDirs(const std::string& path);

// As MakePrivateDirs, but folders created here get exactly `mode` (whatever
// the umask), for folders other users must read.
[[nodiscard]] int MakeDirs(const std::string& path, mode_t mode);

// Writes `bytes` to `path` atomically: a temporary file (mode `mode`, 0600
// unless said otherwise) in the same folder, flushed, then renamed over
// `path`. Returns 0 or an errno value;
// on failure `path` is unchanged and the temporary file is removed. The one
// exception is a failure to flush the folder after the rename: `path` then
// holds the new bytes, but the error is still returned because the new name
// may not survive a crash.
[[nodiscard]] int WriteFileAtomically(const std::string& path, const std::string& bytes,
                                      mode_t mode = 0600);

// The folder holding the running executable or shared object that contains
// `address` (from dladdr), with a trailing '/'. Empty when unknown.
[[nodiscard]] std::string FolderOfAddress(const void* address);

// The extension of the last component of `path` (after its last '/'), from
// its last dot inclusive; empty when the name has no dot.
[[nodiscard]] std::u16string_view ExtensionOf(std::u16string_view path);
