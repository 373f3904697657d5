#include "platform/reg_key.h"

#include <array>
#include <utility>

#include "platform/hresult.h"

namespace {

constexpr LONG kOk = ERROR_SUCCESS;
constexpr LONG Fail(DWORD error) { return static_cast<LONG>(error); }

// REG_DWORD data: little-endian.
std::array<BYTE, 4> DwordBytes(DWORD value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

std::vector<char16_t> Units(const std::vector<BYTE>& data) {
  std::vector<char16_t> units(data.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return units;
}

}  // namespace

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.Release();
  }
  return *this;
}

LONG RegKey::Create(HKEY root, std::u16string_view path, RegKey* out) {
  HKEY key = nullptr;
  const LONG status = RegCreateKeyExW(root, WString(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr);
  if (status == kOk) *out = RegKey(key);
  return status;
}

LONG RegKey::Open(HKEY root, std::u16string_view path, RegKey* out) {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExW(root, WString(path).c_str(), 0, KEY_READ, &key);
  if (status == kOk) *out = RegKey(key);
  return status;
}

HKEY RegKey::Release() { return std::exchange(key_, nullptr); }

void RegKey::Close() {
  if (key_ != nullptr) RegCloseKey(std::exchange(key_, nullptr));
}

LONG RegKey::Query(std::u16string_view name, DWORD* type, std::vector<BYTE>* data) const {
  const WString value_name(name);
  // The value may grow between the size query and the read (another process
  // writes it), so retry with the newly reported size.
  for (;;) {
    DWORD size = 0;
    LONG status = RegQueryValueExW(key_, value_name.c_str(), nullptr, type, nullptr, &size);
    if (status != kOk) return status;
    data->resize(size);
    status = RegQueryValueExW(key_, value_name.c_str(), nullptr, type, data->data(), &size);
    if (status == kOk) data->resize(size);
    if (status != Fail(ERROR_MORE_DATA)) return status;
  }
}

LONG RegKey::Set(std::u16string_view name, DWORD type, const void* data, std::size_t size) const {
  return RegSetValueExW(key_, WString(name).c_str(), 0, type, static_cast<const BYTE*>(data),
                        static_cast<DWORD>(size));
}

LONG RegKey::GetString(std::u16string_view name, WString* out) const {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (const LONG status = Query(name, &type, &data); status != kOk) return status;
  if (type != REG_SZ || data.size() % 2 != 0) return Fail(ERROR_INVALID_DATA);
  const std::vector<char16_t> units = Units(data);
  WString text(units.begin(), units.end());
  *out = text.substr(0, text.find(u'\0'));
  return kOk;
}

LONG RegKey::SetString(std::u16string_view name, std::u16string_view value) const {
  const WString text(value);
  return Set(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

LONG RegKey::GetDword(std::u16string_view name, DWORD* out) const {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (const LONG status = Query(name, &type, &data); status != kOk) return status;
  if (type != REG_DWORD || data.size() != 4) return Fail(ERROR_INVALID_DATA);
  *out = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
  return kOk;
}

LONG RegKey::SetDword(std::u16string_view name, DWORD value) const {
  const std::array<BYTE, 4> bytes = DwordBytes(value);
  return Set(name, REG_DWORD, bytes.data(), bytes.size());
}

LONG RegKey::GetMultiString(std::u16string_view name, std::vector<WString>* out) const {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (const LONG status = Query(name, &type, &data); status != kOk) return status;
  if (type != REG_MULTI_SZ || data.size() % 2 != 0) return Fail(ERROR_INVALID_DATA);
  // Strings end at each NUL; the list ends at the first empty one or at the
  // end of the data, whichever comes first (a missing final NUL is forgiven).
  std::vector<WString> strings;
  WString current;
  for (const char16_t unit : Units(data)) {
    if (unit != 0) {
      current += unit;
    } else if (current.empty()) {
      break;
    } else {
      strings.push_back(std::exchange(current, WString()));
    }
  }
  if (!current.empty()) strings.push_back(std::move(current));
  *out = std::move(strings);
  return kOk;
}

LONG RegKey::SetMultiString(std::u16string_view name, const std::vector<WString>& values) const {
  WString units;
  for (const WString& value : values) {
    if (value.empty() || value.find(u'\0') != WString::npos) return Fail(ERROR_INVALID_PARAMETER);
    units += value;
    units += u'\0';
  }
  units += u'\0';
  return Set(name, REG_MULTI_SZ, units.data(), units.size() * sizeof(char16_t));
}

LONG RegKey::DeleteValue(std::u16string_view name) const {
  return RegDeleteValueW(key_, WString(name).c_str());
}

LONG RegKey::SetDwords(std::initializer_list<std::pair<std::u16string_view, DWORD>> values) const {
  std::vector<WString> names;
  std::vector<std::array<BYTE, 4>> bytes;
  names.reserve(values.size());
  bytes.reserve(values.size());
  std::vector<RegValueChange> changes;
  for (const auto& [name, value] : values) {
    names.emplace_back(name);
    bytes.push_back(DwordBytes(value));
    changes.push_back({names.back().c_str(), false, REG_DWORD, bytes.back().data(), 4});
  }
  return RegChangeValuesW(key_, changes.data(), static_cast<DWORD>(changes.size()));
}

LONG RegKey::DeleteValues(std::initializer_list<std::u16string_view> names) const {
  std::vector<WString> owned(names.begin(), names.end());
  std::vector<RegValueChange> changes;
  for (const WString& name : owned) changes.push_back({name.c_str(), true, REG_NONE, nullptr, 0});
  return RegChangeValuesW(key_, changes.data(), static_cast<DWORD>(changes.size()));
}

LONG RegDeleteTreeIfExists(HKEY root, std::u16string_view path) {
  // An empty path would empty `root` itself: never what a caller of this
  // means, and far too much to lose to a missing argument.
  if (path.empty()) return Fail(ERROR_INVALID_PARAMETER);
  const LONG status = RegDeleteTreeW(root, WString(path).c_str());
  return status == Fail(ERROR_FILE_NOT_FOUND) ? kOk : status;
}
