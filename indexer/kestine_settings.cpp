#include "indexer/kestine_settings.h"

#include "platform/hresult.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace trovix::indexer {
namespace {

// Reads open the key with query access only, so a missing key stays missing.
std::optional<RegKey> OpenForRead(const WString& path) {
  RegKey key;
  if (RegKey::Open(HKEY_CURRENT_USER, path, &key) != ERROR_SUCCESS) return std::nullopt;
  return key;
}

std::optional<RegKey> OpenForWrite(const WString& path) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, path, &key) != ERROR_SUCCESS) return std::nullopt;
  return key;
}

LONG SetRaw(const RegKey& key, std::u16string_view name, DWORD type, const void* data,
            std::size_t size) {
  return RegSetValueExW(key.get(), WString(name).c_str(), 0, type, static_cast<const BYTE*>(data),
                        static_cast<DWORD>(size));
}

}  // namespace

WString RootSubkeyName(std::string_view root) {
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return Utf8ToUtf16(root);
}

KestineKey KestineKey::Global() { return KestineKey(WString(keys::kKestine)); }

KestineKey KestineKey::ForRoot(std::string_view root) {
  WString path(keys::kKestine);
  path += u'\\';
  path += RootSubkeyName(root);
  return KestineKey(std::move(path));
}

bool KestineKey::Create() const { return OpenForWrite(path_).has_value(); }

std::optional<DWORD> KestineKey::Read(DwordValue value) const {
  const auto key = OpenForRead(path_);
  DWORD data = 0;
  if (!key || key->GetDword(value.name, &data) != ERROR_SUCCESS) return std::nullopt;
  return data;
}

bool KestineKey::Write(DwordValue value, DWORD data) const {
  const auto key = OpenForWrite(path_);
  return key && key->SetDword(value.name, data) == ERROR_SUCCESS;
}

std::optional<FILETIME> KestineKey::Read(TimeValue value) const {
  const auto key = OpenForRead(path_);
  if (!key) return std::nullopt;
  BYTE bytes[8] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof bytes;
  const WString name(value.name);
  if (RegQueryValueExW(key->get(), name.c_str(), nullptr, &type, bytes, &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof bytes) {
    return std::nullopt;
  }
  const auto half = [&bytes](int at) {
    return static_cast<DWORD>(bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
                              (static_cast<DWORD>(bytes[at + 3]) << 24));
  };
  return FILETIME{half(0), half(4)};
}

bool KestineKey::Write(TimeValue value, FILETIME data) const {
  const auto key = OpenForWrite(path_);
  if (!key) return false;
  BYTE bytes[8];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<BYTE>(data.dwLowDateTime >> (8 * i));
    bytes[4 + i] = static_cast<BYTE>(data.dwHighDateTime >> (8 * i));
  }
  return SetRaw(*key, value.name, REG_BINARY, bytes, sizeof bytes) == ERROR_SUCCESS;
}

std::optional<WString> KestineKey::Read(TextValue value) const {
  const auto key = OpenForRead(path_);
  WString text;
  if (!key || key->GetString(value.name, &text) != ERROR_SUCCESS) return std::nullopt;
  return text;
}

// The characters only, 2 bytes each in host (little-endian) order, as the
// registry layer takes UTF-16.
bool KestineKey::Write(TextValue value, std::u16string_view text) const {
  const auto key = OpenForWrite(path_);
  return key && SetRaw(*key, value.name, REG_SZ, text.data(), text.size() * sizeof(char16_t)) ==
                    ERROR_SUCCESS;
}

std::optional<std::string> KestineKey::Read(NarrowTextValue value) const {
  const auto key = OpenForRead(path_);
  WString text;
  if (!key || key->GetString(value.name, &text) != ERROR_SUCCESS) return std::nullopt;
  return Utf16ToUtf8(text);
}

bool KestineKey::Write(NarrowTextValue value, std::string_view text) const {
  const auto key = OpenForWrite(path_);
  return key && key->SetString(value.name, Utf8ToUtf16(text)) == ERROR_SUCCESS;
}

bool KestineKey::Delete(TextValue value) const {
  const auto key = OpenForWrite(path_);
  if (!key) return false;
  const LONG result = key->DeleteValue(value.name);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace trovix::indexer

namespace trovix::indexer {

bool KestineKey::Delete(TimeValue value) const { return Delete(TextValue{value.name}); }

}  // namespace trovix::indexer
