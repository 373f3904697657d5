// RegKey: an open registry key that closes itself, with typed value access.
//
// Every method returns ERROR_SUCCESS or the Windows error number of the
// registry call that failed (see platform/registry.h); a value of another
// type than the one asked for gives ERROR_INVALID_DATA. Out-parameters are
// left unchanged on failure.
//
// Threads: a RegKey belongs to one thread at a time; the const methods may
// run on several threads at once.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry.h"

class RegKey {
 public:
  RegKey() = default;
  // Takes ownership of `key` (a predefined root is never closed).
  explicit RegKey(HKEY key) : key_(key) {}
  ~RegKey() { Close(); }
  RegKey(RegKey&& other) noexcept : key_(other.Release()) {}
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens `path` below `root`, creating missing keys; `*out` is replaced only
  // on success.
  [[nodiscard]] static LONG Create(HKEY root, std::u16string_view path, RegKey* out);
  // Opens an existing key.
  [[nodiscard]] static LONG Open(HKEY root, std::u16string_view path, RegKey* out);

  // A REG_SZ value without its terminator (text past an embedded NUL is
  // dropped, as every C string reader would drop it).
  [[nodiscard]] LONG GetString(std::u16string_view name, WString* out) const;
  [[nodiscard]] LONG SetString(std::u16string_view name, std::u16string_view value) const;
  [[nodiscard]] LONG GetDword(std::u16string_view name, DWORD* out) const;
  [[nodiscard]] LONG SetDword(std::u16string_view name, DWORD value) const;
  // The strings of a REG_MULTI_SZ value. Writing refuses an empty string
  // (ERROR_INVALID_PARAMETER): the format ends the list at the first one.
  [[nodiscard]] LONG GetMultiString(std::u16string_view name, std::vector<WString>* out) const;
  [[nodiscard]] LONG SetMultiString(std::u16string_view name,
                                    const std::vector<WString>& values) const;
  [[nodiscard]] LONG DeleteValue(std::u16string_view name) const;
  // Several DWORD values written, or several values deleted, in one write of
  // the hive (see RegChangeValuesW); a missing value is no error to
  // DeleteValues. Not for keys of HKEY_CLASSES_ROOT.
  [[nodiscard]] LONG SetDwords(
      std::initializer_list<std::pair<std::u16string_view, DWORD>> values) const;
  [[nodiscard]] LONG DeleteValues(std::initializer_list<std::u16string_view> names) const;

  [[nodiscard]] HKEY get() const { return key_; }
  // Gives up ownership; the caller closes the handle.
  [[nodiscard]] HKEY Release();
  void Close();

 private:
  // The raw bytes and type of a value.
  [[nodiscard]] LONG Query(std::u16string_view name, DWORD* type, std::vector<BYTE>* data) const;
  [[nodiscard]] LONG Set(std::u16string_view name, DWORD type, const void* data,
                         std::size_t size) const;

  HKEY key_ = nullptr;
};

// Deletes `path` below `root` with everything under it; ERROR_SUCCESS when it
// does not exist, ERROR_INVALID_PARAMETER for an empty path.
[[nodiscard]] LONG RegDeleteTreeIfExists(HKEY root, std::u16string_view path);
