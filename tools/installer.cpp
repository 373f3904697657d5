#include "tools/installer.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/hive_store.h"
#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/itrovixdb.h"
#include "shared/registry_keys.h"
#include "tools/file_types.h"
#include "tools/login_start.h"
#include "tools/module_registration.h"

extern char** environ;

namespace trovix::setup {
namespace {

HRESULT Report(std::ostream& err, HRESULT hr, const std::string& what) {
  err << "trovix-setup: " << what << ": " << StatusMessage(hr) << " (" << StatusName(hr) << ")\n";
  return hr;
}

HRESULT MakeFolders(const std::string& database_folder, std::ostream& out, std::ostream& err) {
  for (const std::string& folder : {SuiteConfigDir(), SuiteStateDir(), database_folder}) {
    const int error = folder.empty() ? ENOENT : MakePrivateDirs(folder);
    if (error != 0) return Report(err, HresultFromErrno(error), "cannot create folder " + folder);
  }
  if (RuntimeNamespaceDir().empty()) {
    return Report(err, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                  "cannot make a private runtime folder (check XDG_RUNTIME_DIR)");
  }
  out << "Folders ready: " << SuiteConfigDir() << ", " << SuiteStateDir() << ", " << database_folder
      << "\n";
  return S_OK;
}

HRESULT RegisterModules(const Installation& installation, bool unregister, std::ostream& out,
                        std::ostream& err) {
  const std::vector<std::string> modules = FindComponentModules(installation.module_dir());
  if (modules.empty() && !unregister) {
    return Report(err, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
                  "no component modules in " + installation.module_dir());
  }
  for (const std::string& module : modules) {
    std::string detail;
    const HRESULT hr = RegisterModule(module, unregister, &detail);
    if (FAILED(hr)) {
      return Report(err, hr,
                    std::string(unregister ? "cannot unregister " : "cannot register ") + module +
                        (detail.empty() ? "" : " (" + detail + ")"));
    }
    out << (unregister ? "Unregistered " : "Registered ") << module << "\n";
  }
  return S_OK;
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Runs `program argument` and waits for it; S_OK when it exits with 0.
HRESULT RunAndWait(const std::string& program, const char* argument) {
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (error != 0) return HresultFromErrno(error);
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return HresultFromErrno(errno);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? S_OK : E_FAIL;
}

// The indexer registers itself: its AppID and its default settings.
HRESULT RegisterIndexer(const Installation& installation, bool unregister, std::ostream& out,
                        std::ostream& err) {
  const std::string kestine = installation.bin_dir() + "kestine";
  if (!IsExecutable(kestine)) return S_OK;  // an installation without the indexer
  const HRESULT hr = RunAndWait(kestine, unregister ? "-UnregServer" : "-RegServer");
  if (FAILED(hr)) {
    return Report(err, hr,
                  std::string("cannot ") + (unregister ? "unregister " : "register ") + kestine);
  }
  out << (unregister ? "Unregistered " : "Registered ") << kestine << "\n";
  return S_OK;
}

HRESULT SetBinPath(const Installation& installation, std::ostream& out, std::ostream& err) {
  RegKey key;
  LONG rc = RegKey::Create(HKEY_CURRENT_USER, keys::kTrovix, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(keys::kBinPath, Utf8ToUtf16(installation.bin_dir()));
  if (rc != ERROR_SUCCESS) return Report(err, HRESULT_FROM_WIN32(rc), "cannot write BinPath");
  out << "BinPath: " << installation.bin_dir() << "\n";
  return S_OK;
}

// True when the machine hive is not this user's to write: the installation
// belongs to the system (a package in /usr, the hive in /etc), and root wrote
// its registrations when it was installed. Writing a hive takes a lock file,
// a temporary file and a rename in its folder, so what counts is the folder,
// or its nearest existing parent when it is not made yet.
bool MachineHiveIsShared(std::string* hive) {
  *hive = HivePath(HiveId::kMachine);
  if (hive->empty()) return false;
  std::filesystem::path folder = std::filesystem::path(*hive).parent_path();
  std::error_code ec;
  while (!folder.empty() && folder != folder.root_path() && !std::filesystem::exists(folder, ec)) {
    folder = folder.parent_path();
  }
  return access(folder.c_str(), W_OK) != 0;
}

// On a shared hive the registrations must be there already: the store's
// class, pointing into this installation.
HRESULT CheckSharedRegistrations(const Installation& installation, const std::string& hive,
                                 std::ostream& out, std::ostream& err) {
  RegKey key;
  WString module;
  const std::string expected = installation.module_dir() + "/libordalis.so";
  if (RegKey::Open(HKEY_CLASSES_ROOT,
                   u"CLSID\\" + GuidToWString(CLSID_TrovixDB) + u"\\InprocServer32",
                   &key) != ERROR_SUCCESS ||
      key.GetString(u"", &module) != ERROR_SUCCESS || Utf16ToUtf8(module) != expected) {
    return Report(err, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
                  "the installation's registrations are missing from " + hive +
                      ", which this user cannot write (reinstall the package, or run "
                      "trovix-setup once as the owner of " +
                      hive + ")");
  }
  out << "Registrations kept: " << hive << " belongs to the system\n";
  return S_OK;
}

HRESULT RegisterFileTypes(std::ostream& out, std::ostream& err) {
  LONG rc = RegisterPlainTextTypes();
  if (rc == ERROR_SUCCESS) rc = RegisterDocumentTypes();
  if (rc != ERROR_SUCCESS) {
    return Report(err, HRESULT_FROM_WIN32(rc), "cannot register the plain-text file types");
  }
  out << "File types registered: " << PlainTextExtensions().size() << " plain-text extensions\n";
  return S_OK;
}

// What goes to the machine hive: the modules, the indexer's application
// entry and the file types.
HRESULT RegisterMachineWide(const Installation& installation, std::ostream& out,
                            std::ostream& err) {
  std::string hive;
  if (MachineHiveIsShared(&hive)) return CheckSharedRegistrations(installation, hive, out, err);
  HRESULT hr = RegisterModules(installation, /*unregister=*/false, out, err);
  if (SUCCEEDED(hr)) hr = RegisterIndexer(installation, /*unregister=*/false, out, err);
  if (SUCCEEDED(hr)) hr = RegisterFileTypes(out, err);
  return hr;
}

HRESULT UnregisterMachineWide(const Installation& installation, std::ostream& out,
                              std::ostream& err) {
  std::string hive;
  if (MachineHiveIsShared(&hive)) {
    out << "Registrations kept: " << hive << " belongs to the system\n";
    return S_OK;
  }
  HRESULT hr = RegisterModules(installation, /*unregister=*/true, out, err);
  if (SUCCEEDED(hr)) hr = RegisterIndexer(installation, /*unregister=*/true, out, err);
  if (FAILED(hr)) return hr;
  LONG rc = UnregisterPlainTextTypes();
  if (rc == ERROR_SUCCESS) rc = UnregisterDocumentTypes();
  if (rc != ERROR_SUCCESS) {
    return Report(err, HRESULT_FROM_WIN32(rc), "cannot remove the plain-text file types");
  }
  out << "File types removed\n";
  return S_OK;
}

HRESULT EnsureDatabase(const std::string& path, std::ostream& out, std::ostream& err) {
  const HRESULT hr = CreateDatabase(path);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) {
    out << "Database kept: " << path << "\n";
    return S_OK;
  }
  if (FAILED(hr)) return Report(err, hr, "cannot create the database " + path);
  out << "Database created: " << path << "\n";
  return S_OK;
}

// Older versions named the database "ordalis.mdb" when XDG_DATA_HOME was
// unset. An old file alone is renamed so that its index is kept; with both
// present the new name wins and the old file is left for the user.
HRESULT AdoptOldDatabaseName(const std::string& path, std::ostream& out, std::ostream& err) {
  const std::string old =
      (std::filesystem::path(path).parent_path() / kOldDatabaseFileName).string();
  struct stat old_st {};
  struct stat new_st {};
  if (lstat(old.c_str(), &old_st) != 0) return S_OK;
  if (lstat(path.c_str(), &new_st) == 0) {
    // On a file system that ignores case the two names are one file.
    if (old_st.st_ino == new_st.st_ino && old_st.st_dev == new_st.st_dev) return S_OK;
    err << "trovix-setup: both " << old << " and " << path << " exist; using " << path
        << " and leaving " << old << " as it is\n";
    return S_OK;
  }
  const HRESULT hr = MoveDatabaseFile(old, path);
  if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)) {
    return Report(err, hr,
                  "cannot rename " + old + " to " + path +
                      " while another program uses it (quit kestine and vistrel, then run "
                      "trovix-setup again)");
  }
  if (FAILED(hr)) return Report(err, hr, "cannot rename " + old + " to " + path);
  out << "Database renamed: " << old << " -> " << path << "\n";
  return S_OK;
}

}  // namespace

HRESULT Install(const Installation& installation, std::ostream& out, std::ostream& err) {
  const DatabaseLocation location = DefaultDatabaseLocation();
  if (location.path.empty()) {
    return Report(err, E_FAIL, "cannot tell where the database belongs (is HOME set?)");
  }
  const std::string database_folder = std::filesystem::path(location.path).parent_path().string();
  HRESULT hr = MakeFolders(database_folder, out, err);
  if (SUCCEEDED(hr)) hr = RegisterMachineWide(installation, out, err);
  if (SUCCEEDED(hr)) hr = SetBinPath(installation, out, err);
  if (SUCCEEDED(hr)) hr = AdoptOldDatabaseName(location.path, out, err);
  if (SUCCEEDED(hr)) hr = EnsureDatabase(location.path, out, err);
  if (SUCCEEDED(hr) && IsExecutable(installation.bin_dir() + "kestine")) {
    hr = InstallKestineLoginStart(installation, out, err);
  }
  return hr;
}

HRESULT Uninstall(const Installation& installation, std::ostream& out, std::ostream& err) {
  // The indexer stops first, so that nothing runs on registrations being removed.
  HRESULT hr = RemoveKestineLoginStart(installation, out, err);
  if (SUCCEEDED(hr)) hr = UnregisterMachineWide(installation, out, err);
  if (FAILED(hr)) return hr;
  RegKey key;
  if (RegKey::Open(HKEY_CURRENT_USER, keys::kTrovix, &key) == ERROR_SUCCESS) {
    const LONG rc = key.DeleteValue(keys::kBinPath);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
      return Report(err, HRESULT_FROM_WIN32(rc), "cannot remove BinPath");
    }
  }
  out << "BinPath removed; the index and settings stay in place\n";
  return RemoveBandAutostart(out, err);
}

}  // namespace trovix::setup
