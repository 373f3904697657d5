#include "filters/filter_registration.h"

#include "platform/hresult.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/version_info.h"
#include "platform/wstring.h"

namespace trovix::filters {
namespace {

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

LONG WriteClasses(const FilterClasses& classes, const WString& module_path) {
  const WString filter = ClassKey(classes.filter);
  const WString handler = ClassKey(classes.handler);
  RegKey key;
  LONG rc = RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, filter);
  if (rc == ERROR_SUCCESS) rc = RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, handler);
  if (rc == ERROR_SUCCESS) rc = SetKey(filter, classes.filter_name, &key);
  if (rc == ERROR_SUCCESS) rc = SetKey(filter + u"\\InprocServer32", module_path, &key);
  // Each reader creates its own filter object and uses it on one thread.
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"ThreadingModel", u"Both");
  if (rc == ERROR_SUCCESS) rc = SetKey(handler, classes.handler_name, &key);
  if (rc == ERROR_SUCCESS) {
    rc = SetKey(handler + u"\\PersistentAddinsRegistered\\" + GuidToWString(IID_IFilter),
                GuidToWString(classes.filter), &key);
  }
  return rc;
}

}  // namespace

HRESULT RegisterFilterClasses(const FilterClasses& classes, const void* address_in_module) {
  const std::string path = ModulePathOfAddress(address_in_module);
  if (path.empty()) return SELFREG_E_CLASS;
  return WriteClasses(classes, Utf8ToUtf16(path)) == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterFilterClasses(const FilterClasses& classes) {
  HRESULT hr = S_OK;
  for (const CLSID& clsid : {classes.filter, classes.handler}) {
    if (RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, ClassKey(clsid)) != ERROR_SUCCESS) {
      hr = SELFREG_E_CLASS;
    }
  }
  return hr;
}

}  // namespace trovix::filters
