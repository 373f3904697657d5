#include "indexstore/filter_lookup.h"

#include <initializer_list>
#include <string_view>

#include "platform/com.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// The filter class may be a server or a handler module; both load in-process.
constexpr DWORD kInprocHandler = 0x2;
constexpr std::size_t kContentTypeUnits = 64;

WString Join(std::initializer_list<std::u16string_view> parts) {
  WString joined;
  for (std::u16string_view part : parts) joined += part;
  return joined;
}

// Reads the string value `name` of `root\key_path` as into a buffer of
// `units` units with its terminator: a longer value is a failed read (false).
bool ReadString(HKEY root, const WString& key_path, const WCHAR* name, std::size_t units,
                WString* out) {
  RegKey key;
  if (RegKey::Open(root, key_path, &key) != ERROR_SUCCESS) return false;
  WString buffer(units, u'\0');
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(units * sizeof(WCHAR));
  if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  out->assign(buffer.data(), WcsLenCapped(buffer.data(), bytes / sizeof(WCHAR)));
  return true;
}

// One read of the chain: the default value of a key of the machine's
// classes. A key path that would not fit MAX_PATH units with its terminator
// fails like a missing key.
bool ReadChainValue(const WString& key_path, WString* out) {
  if (key_path.size() >= MAX_PATH) return false;
  return ReadString(HKEY_LOCAL_MACHINE, key_path, nullptr, MAX_PATH, out);
}

// Steps 1 to 3: the persistent handler of the extension itself, else that of
// the "<ext>file" class.
bool FindPersistentHandler(std::u16string_view extension, WString* handler) {
  if (!extension.empty() &&
      ReadChainValue(Join({u"Software\\CLASSES\\", extension, u"\\PersistentHandler"}), handler)) {
    return true;
  }
  if (extension.size() < 2) return false;  // no character after the dot
  WString clsid;
  return ReadChainValue(Join({u"Software\\CLASSES\\", extension.substr(1), u"file\\CLSID"}),
                        &clsid) &&
         ReadChainValue(Join({u"SOFTWARE\\Classes\\CLSID\\", clsid, u"\\PersistentHandler"}),
                        handler);
}

// As CLSIDFromString for the "{...}" form, the only one registries hold.
bool ClsidFromString(const WString& text, CLSID* clsid) {
  std::string ascii;
  for (WCHAR unit : text) {
    if (unit > 0x7F) return false;
    ascii.push_back(static_cast<char>(unit));
  }
  return ParseGuid(ascii, *clsid);
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  const auto fold = [](WCHAR c) { return c >= u'A' && c <= u'Z' ? WCHAR(c - u'A' + u'a') : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

HRESULT LoadFilterForPath(const WCHAR* path, IUnknown** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (path == nullptr) return E_INVALIDARG;
  WString handler;
  if (!FindPersistentHandler(ExtensionOf(path), &handler)) return E_FAIL;
  WString filter;
  if (!ReadChainValue(
          Join({u"SOFTWARE\\Classes\\CLSID\\", handler,
                u"\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}"}),
          &filter)) {
    return E_FAIL;
  }
  CLSID clsid{};
  if (!ClsidFromString(filter, &clsid)) return CO_E_CLASSSTRING;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | kInprocHandler, IID_IUnknown,
                          reinterpret_cast<void**>(out));
}

bool IsPlainTextType(const WCHAR* path) {
  if (path == nullptr) return false;
  const std::u16string_view extension = ExtensionOf(path);
  WString content_type;
  return !extension.empty() &&
         ReadString(HKEY_CLASSES_ROOT, WString(extension), u"Content Type", kContentTypeUnits,
                    &content_type) &&
         EqualsIgnoringAsciiCase(content_type, u"text/plain");
}

}  // namespace ordalis
