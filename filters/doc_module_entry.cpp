// The document filter module: its exported entry points, class factory and
// self-registration.
#include <atomic>
#include <new>

#include "filters/doc_filter.h"
#include "platform/com_object.h"
#include "platform/reg_key.h"
#include "platform/version_info.h"
#include "platform/wstring.h"
#include "shared/filter_ids.h"

TROVIX_VERSION_BLOCK(TROVIX_VERSION_MAJOR, TROVIX_VERSION_MINOR, TROVIX_VERSION_PATCH, 0, VFT_DLL);

namespace docfilter {
namespace {

std::atomic<long> g_live_objects{0};  // filters and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

DocFilter* CreateFilter() { return DocFilter::Create(&g_live_objects, InstalledHelper()); }

// The keys are written to the machine's classes, not through
// HKEY_CLASSES_ROOT: the index store looks filters up in the machine's
// classes only, and HKEY_CLASSES_ROOT would put a new key into the user's
// classes whenever the user has a CLSID key of their own.
WString ClassKey(const CLSID& clsid) {
  return u"Software\\Classes\\CLSID\\" + GuidToWString(clsid);
}

LONG SetKey(const WString& path, std::u16string_view value, RegKey* key) {
  LONG rc = RegKey::Create(HKEY_LOCAL_MACHINE, path, key);
  if (rc == ERROR_SUCCESS) rc = key->SetString(u"", value);
  return rc;
}

// Each key is removed and written afresh, so registering again leaves the
// hive exactly as the first time.
LONG RegisterClasses(const WString& module_path) {
  const WString filter = ClassKey(trovix::CLSID_DocFilter);
  const WString handler = ClassKey(trovix::CLSID_DocFilterHandler);
  RegKey key;
  LONG rc = RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, filter);
  if (rc == ERROR_SUCCESS) rc = RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, handler);
  if (rc == ERROR_SUCCESS) rc = SetKey(filter, u"Trovix document filter", &key);
  if (rc == ERROR_SUCCESS) rc = SetKey(filter + u"\\InprocServer32", module_path, &key);
  // Each reader creates its own filter object and uses it on one thread.
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"ThreadingModel", u"Both");
  if (rc == ERROR_SUCCESS) rc = SetKey(handler, u"Trovix document persistent handler", &key);
  if (rc == ERROR_SUCCESS) {
    rc = SetKey(handler + u"\\PersistentAddinsRegistered\\" + GuidToWString(IID_IFilter),
                GuidToWString(trovix::CLSID_DocFilter), &key);
  }
  return rc;
}

}  // namespace
}  // namespace docfilter

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == trovix::CLSID_DocFilter)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<docfilter::DocFilter>(docfilter::CreateFilter, &docfilter::g_live_objects,
                                               &docfilter::g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return docfilter::g_live_objects == 0 && docfilter::g_server_locks == 0 ? S_OK : S_FALSE;
}

TROVIX_EXPORT HRESULT DllRegisterServer() {
  const std::string path = ModulePathOfAddress(&docfilter::g_live_objects);
  if (path.empty()) return SELFREG_E_CLASS;
  const LONG rc = docfilter::RegisterClasses(Utf8ToUtf16(path));
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

TROVIX_EXPORT HRESULT DllUnregisterServer() {
  HRESULT hr = S_OK;
  for (const CLSID& clsid : {trovix::CLSID_DocFilter, trovix::CLSID_DocFilterHandler}) {
    if (RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, docfilter::ClassKey(clsid)) != ERROR_SUCCESS) {
      hr = SELFREG_E_CLASS;
    }
  }
  return hr;
}
