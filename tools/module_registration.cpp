#include "tools/module_registration.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "platform/com.h"
#include "platform/hresult.h"

namespace trovix::setup {

std::vector<std::string> FindComponentModules(const std::string& folder) {
  std::vector<std::string> modules;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    // The suite's own shared libraries (libtrovix-*.so) share the folder
    // with the modules but have no entry points to call.
    if (entry.is_regular_file(ec) && entry.path().extension() == ".so" &&
        !entry.path().filename().string().starts_with("libtrovix-")) {
      modules.push_back(entry.path().string());
    }
  }
  std::sort(modules.begin(), modules.end());
  return modules;
}

HRESULT RegisterModule(const std::string& path, bool unregister, std::string* detail) {
  // RTLD_NODELETE: a module stays mapped until the installer exits, and so
  // do the libraries it pulled in. Qt's are not made to be unloaded: the
  // band module's unload dropped the memory their start-up had allocated,
  // which a leak check then reported from a module no longer there.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    *detail = dlerror();
    return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto function = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, entry));
  HRESULT hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  if (function == nullptr) {
    *detail = std::string("no ") + entry + " in the module";
  } else {
    hr = function();
  }
  dlclose(handle);
  return hr;
}

}  // namespace trovix::setup
