// Test support: every test runs in a private tree of its own, so that no test
// reads or writes the user's index, hives, log or lock files.
#pragma once

#include <string>
#include <vector>

namespace trovix::testing {

// Creates a fresh temporary folder with home/, config/, data/, state/,
// runtime/ and machine/ below it, and points HOME, XDG_CONFIG_HOME,
// XDG_DATA_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR and TROVIX_MACHINE_HIVE
// (machine/etc/Quillon/machine.reg) at it for this process and the children it
// starts, sets TROVIX_SYSTEMCTL to "false" (no user manager) and
// DBUS_SYSTEM_BUS_ADDRESS to a socket that does not exist (no UPower). The previous values are
// restored and the folder removed on destruction. One tree at a time per process.
class PrivateTree {
 public:
  PrivateTree();
  ~PrivateTree();
  PrivateTree(const PrivateTree&) = delete;
  PrivateTree& operator=(const PrivateTree&) = delete;

  const std::string& root() const { return root_; }
  std::string home() const { return root_ + "/home"; }
  std::string config() const { return root_ + "/config"; }
  std::string data() const { return root_ + "/data"; }
  std::string state() const { return root_ + "/state"; }
  std::string runtime() const { return root_ + "/runtime"; }
  std::string machine_hive() const { return root_ + "/machine/etc/Quillon/machine.reg"; }
  std::string user_hive() const { return config() + "/Quillon/user.reg"; }

 private:
  std::string root_;
  std::vector<std::pair<std::string, std::string>> saved_;  // name, old value ("\0" = unset)
};

// Whole-file helpers for tests.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Runs `argv` as a child process and waits; returns its exit status, or
// 128 + signal number when it was killed, or -1 when it could not start.
int RunProcess(const std::vector<std::string>& argv, std::string* output = nullptr);

// Installs the build in `build_dir` into `prefix` with `cmake --install`
// (`cmake` is the cmake program) and unsets TROVIX_MACHINE_HIVE, so that the
// installed programs use the machine hive of their own installation. Returns
// the install command's exit status, its output in `*output`.
int InstallBuild(const std::string& cmake, const std::string& build_dir, const std::string& prefix,
                 std::string* output);

// Number of open file descriptors of this process (from /proc/self/fd).
int OpenDescriptorCount();
// True when this process has a descriptor open on `path` (exact match after
// resolving the /proc/self/fd links).
bool HasDescriptorOpenOn(const std::string& path);

}  // namespace trovix::testing
