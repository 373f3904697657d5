#include "platform/hresult.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

namespace {

struct StatusRow {
  HRESULT value;
  const char* name;
  const char* text;
};

constexpr StatusRow kStatusRows[] = {
#define TROVIX_STATUS(name, value, text) {static_cast<HRESULT>(value##u), #name, text},
#include "platform/status_codes.inc"
#undef TROVIX_STATUS
};

struct Win32Row {
  DWORD number;
  int errno_value;
  const char* name;
};

constexpr Win32Row kWin32Rows[] = {
#define TROVIX_WIN32_ERROR(name, number, errno_value) {number, errno_value, #name},
#include "platform/win32_errors.inc"
#undef TROVIX_WIN32_ERROR
};

const StatusRow* FindStatus(HRESULT hr) {
  for (const StatusRow& row : kStatusRows) {
    if (row.value == hr) return &row;
  }
  return nullptr;
}

const Win32Row* FindWin32(DWORD number) {
  for (const Win32Row& row : kWin32Rows) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

bool IsWin32Code(HRESULT hr) {
  return (static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u;
}

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  if (error == 0) return ERROR_SUCCESS;
  for (const Win32Row& row : kWin32Rows) {
    if (row.errno_value == error) return row.number;
  }
  return kErrnoWin32Base + static_cast<DWORD>(error);
}

int ErrnoFromWin32Error(DWORD error) {
  if (const Win32Row* row = FindWin32(error)) return row->errno_value;
  if (error > kErrnoWin32Base && error < 0x10000) return static_cast<int>(error - kErrnoWin32Base);
  return 0;
}

HRESULT HresultFromErrno(int error) { return HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)); }

std::string StatusName(HRESULT hr) {
  if (const StatusRow* row = FindStatus(hr)) return row->name;
  if (IsWin32Code(hr)) {
    const DWORD number = static_cast<std::uint32_t>(hr) & 0xFFFFu;
    if (const Win32Row* row = FindWin32(number)) return row->name;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(hr));
  return buffer;
}

std::string StatusMessage(HRESULT hr) {
  if (const StatusRow* row = FindStatus(hr)) return row->text;
  if (IsWin32Code(hr)) {
    const int error = ErrnoFromWin32Error(static_cast<std::uint32_t>(hr) & 0xFFFFu);
    if (error != 0) return std::strerror(error);
  }
  return {};
}
