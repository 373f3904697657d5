#include "platform/typelib.h"

#include <new>
#include <string>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"

namespace {

bool NamesEqual(const WCHAR* a, const WCHAR* b) {
  const auto fold = [](WCHAR c) { return c >= u'A' && c <= u'Z' ? WCHAR(c + 32) : c; };
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (fold(*a) != fold(*b)) return false;
  }
  return *a == *b;
}

WString VersionText(const TypeLibDesc& lib) {
  return Utf8ToUtf16(std::to_string(lib.major_version) + "." + std::to_string(lib.minor_version));
}

WString TypeLibKeyPath(const TypeLibDesc& lib) { return u"TypeLib\\" + GuidToWString(lib.libid); }

}  // namespace

TypeInfo* TypeInfo::Create(const TypeDesc& desc, std::atomic<long>* module_objects) {
  return new (std::nothrow) TypeInfo(desc, module_objects);
}

HRESULT DispatchTypeInfo(const TypeDesc& desc, UINT index, ITypeInfo** info,
                         std::atomic<long>* module_objects) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = TypeInfo::Create(desc, module_objects);
  return *info != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT TypeInfo::GetTypeGuid(GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  *guid = desc_.guid;
  return S_OK;
}

HRESULT TypeInfo::GetDocumentation(DISPID memid, const WCHAR** name, const WCHAR** doc_string) {
  const WCHAR* found_name = desc_.name;
  const WCHAR* found_doc = desc_.help;
  if (memid != DISPID_UNKNOWN) {
    const FuncDesc* func = FindFunc(desc_, memid);
    if (func == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    found_name = func->name;
    found_doc = func->help;
  }
  if (name != nullptr) *name = found_name;
  if (doc_string != nullptr) *doc_string = found_doc;
  return S_OK;
}

HRESULT TypeInfo::GetFuncCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<UINT>(desc_.funcs.size());
  return S_OK;
}

HRESULT TypeInfo::GetFuncId(UINT index, DISPID* memid) {
  if (memid == nullptr) return E_POINTER;
  if (index >= desc_.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
  *memid = desc_.funcs[index].id;
  return S_OK;
}

HRESULT TypeInfo::GetNames(DISPID memid, const WCHAR** names, UINT max_names, UINT* count) {
  if (names == nullptr || count == nullptr) return E_POINTER;
  const FuncDesc* func = FindFunc(desc_, memid);
  if (func == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  UINT n = 0;
  if (n < max_names) names[n++] = func->name;
  for (const ParamDesc& param : func->params) {
    if (n == max_names) break;
    names[n++] = param.name;
  }
  *count = n;
  return S_OK;
}

HRESULT TypeInfo::GetIDsOfNames(const WCHAR* const* names, UINT count, DISPID* memids) {
  return IdsOfNames(desc_, names, count, memids);
}

const FuncDesc* FindFunc(const TypeDesc& desc, DISPID id) {
  for (const FuncDesc& func : desc.funcs) {
    if (func.id == id) return &func;
  }
  return nullptr;
}

HRESULT IdsOfNames(const TypeDesc& desc, const WCHAR* const* names, UINT count, DISPID* ids) {
  if (names == nullptr || ids == nullptr) return E_POINTER;
  if (count == 0) return S_OK;
  const FuncDesc* func = nullptr;
  for (const FuncDesc& candidate : desc.funcs) {
    if (names[0] != nullptr && NamesEqual(candidate.name, names[0])) func = &candidate;
  }
  HRESULT hr = S_OK;
  ids[0] = func != nullptr ? func->id : DISPID_UNKNOWN;
  if (func == nullptr) hr = DISP_E_UNKNOWNNAME;
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (std::size_t p = 0; func != nullptr && p < func->params.size(); ++p) {
      if (names[i] != nullptr && NamesEqual(func->params[p].name, names[i])) {
        ids[i] = static_cast<DISPID>(p);
      }
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT RegisterTypeLib(const TypeLibDesc& lib, const WString& module_path) {
  const WString version_path = TypeLibKeyPath(lib) + u"\\" + VersionText(lib);
  const WString libid = GuidToWString(lib.libid);
  const std::size_t slash = module_path.rfind(u'/');
  const WString help_dir = slash == WString::npos ? WString() : module_path.substr(0, slash + 1);
  RegKey key;
  RegKey win;
  if (RegKey::Create(HKEY_CLASSES_ROOT, version_path, &key) != ERROR_SUCCESS ||
      key.SetString(u"", lib.help) != ERROR_SUCCESS ||
      RegKey::Create(HKEY_CLASSES_ROOT, version_path + u"\\0\\linux64", &win) != ERROR_SUCCESS ||
      win.SetString(u"", module_path) != ERROR_SUCCESS ||
      RegKey::Create(HKEY_CLASSES_ROOT, version_path + u"\\FLAGS", &win) != ERROR_SUCCESS ||
      win.SetString(u"", u"0") != ERROR_SUCCESS ||
      RegKey::Create(HKEY_CLASSES_ROOT, version_path + u"\\HELPDIR", &win) != ERROR_SUCCESS ||
      win.SetString(u"", help_dir) != ERROR_SUCCESS) {
    return SELFREG_E_TYPELIB;
  }
  for (const TypeDesc& type : lib.types) {
    if (type.kind == TypeKind::kCoClass) continue;
    const WString path = u"Interface\\" + GuidToWString(type.guid);
    RegKey iface;
    RegKey typelib;
    if (RegKey::Create(HKEY_CLASSES_ROOT, path, &iface) != ERROR_SUCCESS ||
        iface.SetString(u"", type.name) != ERROR_SUCCESS ||
        RegKey::Create(HKEY_CLASSES_ROOT, path + u"\\TypeLib", &typelib) != ERROR_SUCCESS ||
        typelib.SetString(u"", libid) != ERROR_SUCCESS ||
        typelib.SetString(u"Version", VersionText(lib)) != ERROR_SUCCESS) {
      return SELFREG_E_TYPELIB;
    }
  }
  return S_OK;
}

HRESULT UnRegisterTypeLib(const TypeLibDesc& lib) {
  HRESULT hr = S_OK;
  for (const TypeDesc& type : lib.types) {
    if (type.kind == TypeKind::kCoClass) continue;
    if (RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, u"Interface\\" + GuidToWString(type.guid)) !=
        ERROR_SUCCESS) {
      hr = SELFREG_E_TYPELIB;
    }
  }
  if (RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, TypeLibKeyPath(lib)) != ERROR_SUCCESS) {
    hr = SELFREG_E_TYPELIB;
  }
  return hr;
}
