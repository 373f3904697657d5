#include "platform/com.h"

#include <dlfcn.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/error_info.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace {

struct LoadedModule {
  std::string path;
  void* handle;
  DllGetClassObjectFn get_class_object;
  DllCanUnloadNowFn can_unload_now;  // may be null: such a module never unloads
};

std::mutex g_lock;
std::vector<LoadedModule> g_modules;  // guarded by g_lock
int g_initialised_threads = 0;        // guarded by g_lock

// Calls of CoInitialize not yet matched by CoUninitialize on this thread.
thread_local int t_init_depth = 0;

void RecordLoaderError(const char* what) {
  const char* detail = dlerror();
  SetErrorInfo({u"Component runtime", Utf8ToUtf16(std::string(what) + ": " +
                                                   (detail != nullptr ? detail : "unknown"))});
}

// Finds or loads the module at `path`. Called with g_lock held.
HRESULT ModuleFor(const std::string& path, DllGetClassObjectFn* get) {
  for (const LoadedModule& module : g_modules) {
    if (module.path == path) {
      *get = module.get_class_object;
      return S_OK;
    }
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    RecordLoaderError("cannot load module");
    return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  }
  auto get_class_object = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (get_class_object == nullptr) {
    RecordLoaderError("module lacks DllGetClassObject");
    dlclose(handle);
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
  g_modules.push_back({path, handle, get_class_object, can_unload});
  *get = get_class_object;
  return S_OK;
}

HRESULT RegisteredModulePath(REFCLSID clsid, std::string* path) {
  RegKey key;
  if (RegKey::Open(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidToWString(clsid) + u"\\InprocServer32",
                   &key) != ERROR_SUCCESS) {
    return REGDB_E_CLASSNOTREG;
  }
  WString value;
  if (key.GetString(u"", &value) != ERROR_SUCCESS || value.empty()) return REGDB_E_CLASSNOTREG;
  *path = Utf16ToUtf8(value);
  return S_OK;
}

// Takes the idle modules out of the table; the caller closes them after
// dropping g_lock, because closing runs the module's destructors, which must
// be free to call back into this runtime.
std::vector<void*> DetachIdleModules() {
  std::vector<void*> idle;
  std::erase_if(g_modules, [&idle](const LoadedModule& module) {
    if (module.can_unload_now == nullptr || module.can_unload_now() != S_OK) return false;
    idle.push_back(module.handle);
    return true;
  });
  return idle;
}

void CloseModules(const std::vector<void*>& handles) {
  for (void* handle : handles) dlclose(handle);
}

}  // namespace

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void* /*reserved*/, DWORD /*co_init*/) {
  if (t_init_depth++ > 0) return S_FALSE;
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_initialised_threads;
  return S_OK;
}

void CoUninitialize() {
  if (t_init_depth == 0 || --t_init_depth > 0) return;
  std::vector<void*> idle;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (--g_initialised_threads == 0) idle = DetachIdleModules();
  }
  CloseModules(idle);
}

void CoFreeUnusedLibraries() {
  std::vector<void*> idle;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    idle = DetachIdleModules();
  }
  CloseModules(idle);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context, REFIID riid,
                         void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (t_init_depth == 0) return CO_E_NOTINITIALIZED;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if ((cls_context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path;
  HRESULT hr = RegisteredModulePath(clsid, &path);
  if (FAILED(hr)) return hr;
  DllGetClassObjectFn get_class_object = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    hr = ModuleFor(path, &get_class_object);
  }
  if (FAILED(hr)) return hr;
  // The module stays loaded while this thread is initialised, so the factory
  // call needs no lock.
  ComPtr<IClassFactory> factory;
  hr = get_class_object(clsid, IID_IClassFactory, factory.put_void());
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}
