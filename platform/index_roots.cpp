#include "platform/index_roots.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/file_info.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"

namespace {

constexpr std::u16string_view kKestineKey = u"Software\\Quillon\\Trovix\\Kestine";
constexpr std::u16string_view kIndexRootsValue = u"Index Roots";

// $HOME, else the home folder of the user's account; empty when neither.
std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return {};
  }
  return found->pw_dir;
}

// The configured strings; an empty list when the key or value is missing.
LONG ReadConfiguredRoots(std::vector<WString>* roots) {
  RegKey key;
  LONG status = RegKey::Open(HKEY_CURRENT_USER, kKestineKey, &key);
  if (status == ERROR_SUCCESS) status = key.GetMultiString(kIndexRootsValue, roots);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// The canonical form of an absolute path, or the path as given when it does
// not resolve. A relative root is never resolved: it would depend on the
// indexer's current folder.
std::string Canonical(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                         &std::free);
  return real ? std::string(real.get()) : path;
}

}  // namespace

UINT DriveTypeOfRoot(const std::string& root) {
  struct stat st {};
  if (root.empty() || root[0] != '/' || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return DRIVE_NO_ROOT_DIR;
  }
  return DriveTypeOfPath(root);
}

HRESULT ReadIndexRoots(std::vector<IndexRoot>* out) {
  if (out == nullptr) return E_POINTER;
  std::vector<WString> configured;
  if (const LONG status = ReadConfiguredRoots(&configured); status != ERROR_SUCCESS) {
    return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  }
  std::vector<std::string> paths;
  for (const WString& root : configured) paths.push_back(Utf16ToUtf8(root));
  if (paths.empty()) paths.push_back(HomeFolder());
  if (paths.front().empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  std::vector<IndexRoot> roots;
  for (const std::string& configured_path : paths) {
    IndexRoot root{Canonical(configured_path), 0};
    const bool seen = std::any_of(roots.begin(), roots.end(), [&](const IndexRoot& earlier) {
      return earlier.path == root.path;
    });
    if (seen) continue;
    root.drive_type = DriveTypeOfRoot(root.path);
    roots.push_back(std::move(root));
  }
  *out = std::move(roots);
  return S_OK;
}
