// The module's exported entry points and its class factory.
#include <new>

#include "indexstore/registration.h"
#include "indexstore/trovix_db.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace ordalis {
namespace {

// One factory per request; TrovixDB and TrovixDB2 make the same object.
class ClassFactory final : public ComObject<IClassFactory, IID_IClassFactory> {
 public:
  ClassFactory() : ComObject(&g_live_objects) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    TrovixDB* object = TrovixDB::Create();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ++g_server_locks;
    } else {
      --g_server_locks;
    }
    return S_OK;
  }
};

}  // namespace
}  // namespace ordalis

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_TrovixDB) && !(rclsid == CLSID_TrovixDB2)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto* factory = new (std::nothrow) ordalis::ClassFactory();
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return ordalis::g_live_objects == 0 && ordalis::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() { return ordalis::RegisterServer(); }

TROVIX_EXPORT HRESULT DllUnregisterServer() { return ordalis::UnregisterServer(); }
