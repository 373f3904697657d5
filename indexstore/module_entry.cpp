// The module's exported entry points.
#include "indexstore/registration.h"
#include "indexstore/trovix_db.h"
#include "platform/com.h"
#include "platform/com_object.h"

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_TrovixDB) && !(rclsid == CLSID_TrovixDB2)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  // TrovixDB and TrovixDB2 make the same object.
  return GetClassFactory<ordalis::TrovixDB>(ordalis::TrovixDB::Create, &ordalis::g_live_objects,
                                            &ordalis::g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return ordalis::g_live_objects == 0 && ordalis::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() { return ordalis::RegisterServer(); }

TROVIX_EXPORT HRESULT DllUnregisterServer() { return ordalis::UnregisterServer(); }
