// Fixed-width types with the Windows names the interfaces are written in.
// Strings crossing every interface are zero-terminated UTF-16 (WCHAR).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using HRESULT = std::int32_t;
using WCHAR = char16_t;
using UINT_PTR = std::uintptr_t;
using VARTYPE = std::uint16_t;
using DATE = double;

// UTF-16 text owned by the caller side of the platform layer.
using WString = std::u16string;

// 100-nanosecond intervals since 1601-01-01 UTC, split in two halves so that
// records holding it keep the Windows layout (no padding, field order kept).
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8 && alignof(FILETIME) == 4);

// Path limit of every interface, in UTF-16 code units, without the terminator.
inline constexpr std::size_t MAX_PATH = 260;

#define TROVIX_EXPORT extern "C" __attribute__((visibility("default")))
