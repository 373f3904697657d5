// Status codes: the Windows HRESULT values, their names and message texts.
#pragma once

#include <string>

#include "platform/types.h"

#define TROVIX_STATUS(name, value, text) inline constexpr HRESULT name = static_cast<HRESULT>(value##u);
#include "platform/status_codes.inc"
#undef TROVIX_STATUS

#define TROVIX_WIN32_ERROR(name, number, errno_value) inline constexpr DWORD name = number;
#include "platform/win32_errors.inc"
#undef TROVIX_WIN32_ERROR

inline constexpr DWORD ERROR_SUCCESS = 0;
// Windows numbers from here on carry an errno value with no Windows name.
inline constexpr DWORD kErrnoWin32Base = 0x4000;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u);
}

// The Windows error number for an errno value (the one place errno is mapped).
[[nodiscard]] DWORD Win32ErrorFromErrno(int error);
// errno value behind a Windows error number, or 0 when there is none.
[[nodiscard]] int ErrnoFromWin32Error(DWORD error);
// HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)).
[[nodiscard]] HRESULT HresultFromErrno(int error);

// "E_INVALIDARG", "ERROR_FILE_NOT_FOUND", or "0x8004abcd" for an unknown code.
[[nodiscard]] std::string StatusName(HRESULT hr);
// The message text for a status code, without a trailing line break; empty
// when the code is unknown. Operating-system codes use strerror.
[[nodiscard]] std::string StatusMessage(HRESULT hr);
