#include "deskband/registration.h"

#include "deskband/brimwick_ids.h"
#include "deskband/brimwick_typelib.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/shell_band.h"
#include "platform/wstring.h"

namespace brimwick {
namespace {

constexpr std::u16string_view kDescription = u"CTrovBrimwick Object";
constexpr std::u16string_view kAppName = u"Brimwick";
constexpr std::u16string_view kModuleFileName = u"libbrimwick.so";
// Subkeys of the class key that the class registration owns; the category
// entry beside them belongs to the categories and survives unregistration.
constexpr std::u16string_view kClassSubkeys[] = {u"ProgID", u"VersionIndependentProgID",
                                                 u"InprocServer32", u"Programmable", u"TypeLib"};

WString ClassKeyPath() { return u"CLSID\\" + GuidToWString(CLSID_TrovBrimwick); }

LONG SetKey(const WString& path, std::u16string_view name, std::u16string_view value) {
  RegKey key;
  LONG rc = RegKey::Create(HKEY_CLASSES_ROOT, path, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(name, value);
  return rc;
}

LONG SetKey(const WString& path, std::u16string_view value) { return SetKey(path, u"", value); }

HRESULT WriteToolbarEntry() {
  RegKey key;
  if (RegKey::Create(HKEY_CLASSES_ROOT, kToolbarKey, &key) != ERROR_SUCCESS) return E_FAIL;
  if (key.SetString(GuidToWString(CLSID_TrovBrimwick), u"") != ERROR_SUCCESS) return E_FAIL;
  return S_OK;
}

LONG RegisterProgIds(const WString& clsid) {
  const WString prog_id = kBrimwickProgId;
  const WString independent = kBrimwickIndependentProgId;
  LONG rc = SetKey(prog_id, kDescription);
  if (rc == ERROR_SUCCESS) rc = SetKey(prog_id + u"\\CLSID", clsid);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent, kDescription);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent + u"\\CLSID", clsid);
  if (rc == ERROR_SUCCESS) rc = SetKey(independent + u"\\CurVer", prog_id);
  return rc;
}

LONG RegisterAppId() {
  LONG rc = SetKey(u"AppID\\" + WString(kAppId), kAppName);
  if (rc == ERROR_SUCCESS) rc = SetKey(u"AppID\\" + WString(kModuleFileName), u"AppID", kAppId);
  return rc;
}

LONG RegisterClassKey(const WString& module_path) {
  const WString path = ClassKeyPath();
  LONG rc = SetKey(path, kDescription);
  if (rc == ERROR_SUCCESS) rc = SetKey(path + u"\\ProgID", kBrimwickProgId);
  if (rc == ERROR_SUCCESS)
    rc = SetKey(path + u"\\VersionIndependentProgID", kBrimwickIndependentProgId);
  RegKey programmable;
  if (rc == ERROR_SUCCESS)
    rc = RegKey::Create(HKEY_CLASSES_ROOT, path + u"\\Programmable", &programmable);
  if (rc == ERROR_SUCCESS) rc = SetKey(path + u"\\InprocServer32", module_path);
  if (rc == ERROR_SUCCESS) rc = SetKey(path + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
  if (rc == ERROR_SUCCESS) rc = SetKey(path + u"\\TypeLib", GuidToWString(LIBID_BrimwickLib));
  if (rc == ERROR_SUCCESS) rc = SetKey(path, u"AppID", kAppId);
  return rc;
}

HRESULT RegisterClass(const std::string& module_path) {
  const WString clsid = GuidToWString(CLSID_TrovBrimwick);
  if (RegisterProgIds(clsid) != ERROR_SUCCESS || RegisterAppId() != ERROR_SUCCESS ||
      RegisterClassKey(Utf8ToUtf16(module_path)) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  return RegisterTypeLib(BrimwickTypeLib(), Utf8ToUtf16(module_path));
}

// What a categories manager does for RegisterClassImplCategories.
HRESULT RegisterDeskBandCategory() {
  RegKey key;
  const WString path =
      ClassKeyPath() + u"\\Implemented Categories\\" + GuidToWString(CATID_DeskBand);
  return RegKey::Create(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS ? S_OK : E_FAIL;
}

HRESULT UnregisterClass() {
  HRESULT hr = S_OK;
  const WString path = ClassKeyPath();
  WString trees[] = {kBrimwickProgId, kBrimwickIndependentProgId, u"AppID\\" + WString(kAppId),
                     u"AppID\\" + WString(kModuleFileName)};
  for (const WString& tree : trees) {
    if (RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, tree) != ERROR_SUCCESS) hr = SELFREG_E_CLASS;
  }
  for (std::u16string_view sub : kClassSubkeys) {
    if (RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, path + u"\\" + WString(sub)) != ERROR_SUCCESS) {
      hr = SELFREG_E_CLASS;
    }
  }
  RegKey key;
  if (RegKey::Open(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS) {
    static_cast<void>(key.DeleteValue(u""));
    static_cast<void>(key.DeleteValue(u"AppID"));
  }
  const HRESULT typelib = UnRegisterTypeLib(BrimwickTypeLib());
  return FAILED(hr) ? hr : typelib;
}

}  // namespace

HRESULT RegisterServer(const std::string& module_path) {
  if (module_path.empty()) return SELFREG_E_CLASS;
  if (FAILED(WriteToolbarEntry())) return E_FAIL;
  const HRESULT hr = RegisterClass(module_path);
  if (FAILED(hr)) return hr;
  if (SetKey(ClassKeyPath(), kBandName) != ERROR_SUCCESS) return E_FAIL;
  return RegisterDeskBandCategory();
}

HRESULT UnregisterServer() {
  RegKey key;
  if (RegKey::Create(HKEY_CLASSES_ROOT, kToolbarKey, &key) != ERROR_SUCCESS) return E_FAIL;
  static_cast<void>(key.DeleteValue(GuidToWString(CLSID_TrovBrimwick)));
  return UnregisterClass();
}

}  // namespace brimwick
