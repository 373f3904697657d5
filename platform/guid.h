// GUIDs with the Windows layout, parsed at compile time from their registry
// form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

namespace guid_detail {
constexpr unsigned HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}
// Reads `count` hex digits at `pos`; sets ok to false on a non-digit.
constexpr unsigned long long Hex(std::string_view s, std::size_t pos, std::size_t count,
                                 bool& ok) {
  unsigned long long value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned d = HexDigit(s[pos + i]);
    if (d > 15) ok = false;
    value = value * 16 + (d & 15);
  }
  return value;
}
}  // namespace guid_detail

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces required). Returns
// false and leaves `out` alone when the text is not of that form.
constexpr bool ParseGuid(std::string_view s, GUID& out) {
  using guid_detail::Hex;
  if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' ||
      s[19] != '-' || s[24] != '-') {
    return false;
  }
  bool ok = true;
  GUID g{};
  g.Data1 = static_cast<DWORD>(Hex(s, 1, 8, ok));
  g.Data2 = static_cast<WORD>(Hex(s, 10, 4, ok));
  g.Data3 = static_cast<WORD>(Hex(s, 15, 4, ok));
  g.Data4[0] = static_cast<BYTE>(Hex(s, 20, 2, ok));
  g.Data4[1] = static_cast<BYTE>(Hex(s, 22, 2, ok));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(Hex(s, 25 + 2 * i, 2, ok));
  if (ok) out = g;
  return ok;
}

// A GUID constant from its registry form; a malformed literal does not compile.
consteval GUID MakeGuid(std::string_view s) {
  GUID g{};
  if (!ParseGuid(s, g)) throw "malformed GUID literal";
  return g;
}

// "{26C95553-D9BE-43DB-ABCE-E24019190A41}": upper-case, with braces.
[[nodiscard]] std::string GuidToString(const GUID& g);
[[nodiscard]] WString GuidToWString(const GUID& g);

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr IID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersist = MakeGuid("{0000010C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersistFile = MakeGuid("{0000010B-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");
inline constexpr IID IID_ITypeInfo = MakeGuid("{00020401-0000-0000-C000-000000000046}");
inline constexpr IID IID_ISupportErrorInfo = MakeGuid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
inline constexpr IID IID_IErrorInfo = MakeGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
inline constexpr IID IID_IConnectionPointContainer =
    MakeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IEnumConnectionPoints =
    MakeGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IConnectionPoint = MakeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IFilter = MakeGuid("{89BCB740-6119-101A-BCB7-00DD010655AF}");
