// The module's exported entry points.
#include "deskband/band_object.h"
#include "deskband/brimwick_ids.h"
#include "deskband/registration.h"
#include "platform/com_object.h"
#include "platform/version_info.h"

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_TrovBrimwick)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<brimwick::CTrovBrimwick>(brimwick::CTrovBrimwick::Create,
                                                  &brimwick::g_live_objects,
                                                  &brimwick::g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return brimwick::g_live_objects == 0 && brimwick::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() {
  return brimwick::RegisterServer(
      ModulePathOfAddress(reinterpret_cast<const void*>(&DllCanUnloadNow)));
}

TROVIX_EXPORT HRESULT DllUnregisterServer() { return brimwick::UnregisterServer(); }
