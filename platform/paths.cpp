#include "platform/paths.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kSuiteFolder = "Quillon";

// `base` + '/' + `name`, without doubling a trailing '/' of `base` ("/" stays
// the root, so "/" + ".config" is "/.config").
std::string JoinPath(std::string base, const std::string& name) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/" + name;
}

// The value of an environment variable when it holds an absolute path; the
// base directory rules say a relative value is to be ignored.
std::string AbsoluteFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

std::string HomeFromPasswd() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') return {};
  return found->pw_dir;
}

std::string HomeDir() {
  std::string home = AbsoluteFromEnvironment("HOME");
  return home.empty() ? HomeFromPasswd() : home;
}

std::string XdgHome(const char* variable, const char* default_below_home) {
  std::string value = AbsoluteFromEnvironment(variable);
  if (!value.empty()) {
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    return value;
  }
  const std::string home = HomeDir();
  return home.empty() ? std::string() : JoinPath(home, default_below_home);
}

std::string SuiteFolderIn(const std::string& base) {
  return base.empty() ? std::string() : JoinPath(base, kSuiteFolder);
}

// mkdir that accepts an existing folder (or a link to one), like `mkdir -p`.
int MakeOneDir(const std::string& path, mode_t mode) {
  // chmod after mkdir: the umask may have narrowed the mode asked for.
  if (mkdir(path.c_str(), mode) == 0) return chmod(path.c_str(), mode) == 0 ? 0 : errno;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int FsyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int rc = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return rc;
}

// Fills the open temporary file and closes it; the descriptor is closed on
// every path.
int FillAndClose(int fd, const std::string& bytes, mode_t mode) {
  int rc = fchmod(fd, mode) == 0 ? 0 : errno;
  if (rc == 0) rc = WriteAll(fd, bytes);
  if (rc == 0 && fsync(fd) != 0) rc = errno;
  // close() reports delayed write errors on some file systems, so its result
  // counts even after a successful fsync.
  if (close(fd) != 0 && rc == 0) rc = errno;
  return rc;
}

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

std::string ConfigHome() { return XdgHome("XDG_CONFIG_HOME", ".config"); }
std::string DataHome() { return XdgHome("XDG_DATA_HOME", ".local/share"); }
std::string StateHome() { return XdgHome("XDG_STATE_HOME", ".local/state"); }

std::string SuiteConfigDir() { return SuiteFolderIn(ConfigHome()); }
std::string SuiteDataDir() { return SuiteFolderIn(DataHome()); }
std::string SuiteStateDir() { return SuiteFolderIn(StateHome()); }

int MakePrivateDirs(const std::string& path) { return MakeDirs(path, 0700); }

int MakeDirs(const std::string& path, mode_t mode) {
  if (path.empty()) return ENOENT;
  // Each prefix ending before a '/' is a parent; empty prefixes (the root,
  // doubled slashes) need nothing.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;
    if (const int rc = MakeOneDir(path.substr(0, slash), mode); rc != 0) return rc;
  }
  return path.back() == '/' ? 0 : MakeOneDir(path, mode);
}

int WriteFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  // The temporary file lives in the target's folder so that rename() stays on
  // one file system and is atomic.
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = FillAndClose(fd, bytes, mode);
  if (rc == 0 && rename(temp.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) {
    unlink(temp.c_str());
    return rc;
  }
  // The rename is the commit point: from here `path` holds the new bytes, and
  // a failure only means the new name may not yet be durable.
  return FsyncFolder(folder);
}

std::string FolderOfAddress(const void* address) {
  Dl_info info{};
  link_map* object = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0) return {};
  // The main program has an empty name in the link map, and the name dladdr
  // reports for it is argv[0], which may be relative or a bare name from PATH.
  const bool main_program =
      object == nullptr || object->l_name == nullptr || object->l_name[0] == 0;
  const std::string file =
      main_program ? RealPath("/proc/self/exe") : (info.dli_fname ? RealPath(info.dli_fname) : "");
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::u16string_view ExtensionOf(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  const std::u16string_view name =
      slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind(u'.');
  return dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot);
}
