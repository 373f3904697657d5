#include "indexstore/registration.h"

#include "indexstore/ordalis_typelib.h"
#include "indexstore/trovix_db.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/version_info.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

struct ClassRegistration {
  CLSID clsid;
  const char16_t* description;           // "TrovixDB Class"
  const char16_t* version_independent;   // "Ordalis.TrovixDB"
  const char16_t* prog_id;               // "Ordalis.TrovixDB.1"
};

constexpr ClassRegistration kClasses[] = {
    {CLSID_TrovixDB, u"TrovixDB Class", u"Ordalis.TrovixDB", u"Ordalis.TrovixDB.1"},
    {CLSID_TrovixDB2, u"TrovixDB2 Class", u"Ordalis.TrovixDB2", u"Ordalis.TrovixDB2.1"},
};

// Creates `path` under the classes root with `value` as its default value.
LONG SetKey(const WString& path, std::u16string_view value) {
  RegKey key;
  LONG rc = RegKey::Create(HKEY_CLASSES_ROOT, path, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"", value);
  return rc;
}

LONG RegisterProgIds(const ClassRegistration& c, const WString& clsid) {
  const WString prog_id = c.prog_id;
  const WString independent = c.version_independent;
  LONG rc = SetKey(prog_id, c.description);
  if (rc == ERROR_SUCCESS) rc = SetKey(prog_id + u"\\CLSID", clsid);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent, c.description);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent + u"\\CLSID", clsid);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent + u"\\CurVer", prog_id);
  return rc;
}

LONG RegisterClassKey(const ClassRegistration& c, const WString& clsid,
                      const WString& module_path) {
  const WString key_path = u"CLSID\\" + clsid;
  LONG rc = RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, key_path);
  if (rc == ERROR_SUCCESS) rc = SetKey(key_path, c.description);
  if (rc == ERROR_SUCCESS) rc = SetKey(key_path + u"\\ProgID", c.prog_id);
  if (rc == ERROR_SUCCESS) rc = SetKey(key_path + u"\\VersionIndependentProgID", c.version_independent);
  RegKey programmable;
  if (rc == ERROR_SUCCESS) rc = RegKey::Create(HKEY_CLASSES_ROOT, key_path + u"\\Programmable", &programmable);
  if (rc == ERROR_SUCCESS) rc = SetKey(key_path + u"\\InprocServer32", module_path);
  RegKey server;
  if (rc == ERROR_SUCCESS) rc = RegKey::Open(HKEY_CLASSES_ROOT, key_path + u"\\InprocServer32", &server);
  if (rc == ERROR_SUCCESS) rc = server.SetString(u"ThreadingModel", u"Apartment");
  if (rc == ERROR_SUCCESS) rc = SetKey(key_path + u"\\TypeLib", GuidToWString(LIBID_ORDALISLib));
  return rc;
}

}  // namespace

HRESULT RegisterServer() {
  const std::string path = ModulePathOfAddress(reinterpret_cast<const void*>(&g_live_objects));
  if (path.empty()) return SELFREG_E_CLASS;
  const WString module_path = Utf8ToUtf16(path);
  for (const ClassRegistration& c : kClasses) {
    const WString clsid = GuidToWString(c.clsid);
    if (RegisterProgIds(c, clsid) != ERROR_SUCCESS ||
        RegisterClassKey(c, clsid, module_path) != ERROR_SUCCESS) {
      return SELFREG_E_CLASS;
    }
  }
  return RegisterTypeLib(OrdalisTypeLib(), module_path);
}

HRESULT UnregisterServer() {
  HRESULT hr = S_OK;
  for (const ClassRegistration& c : kClasses) {
    for (const WString& path : {WString(c.prog_id), WString(c.version_independent),
                                u"CLSID\\" + GuidToWString(c.clsid)}) {
      if (RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, path) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
    }
  }
  const HRESULT typelib = UnRegisterTypeLib(OrdalisTypeLib());
  return FAILED(hr) ? hr : typelib;
}

}  // namespace ordalis
