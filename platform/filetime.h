// File times (FILETIME: 100 ns units since 1601-01-01 UTC) and automation
// dates (DATE: days since 1899-12-30 as a double, the fraction the time of
// day; before the epoch the integer part counts back and the fraction still
// counts forward, so -1.25 is 1899-12-29 06:00).
#pragma once

#include <ctime>

#include "platform/types.h"

// 100 ns intervals between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;

[[nodiscard]] constexpr std::int64_t FileTimeToInt64(FILETIME ft) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime);
}
[[nodiscard]] constexpr FILETIME Int64ToFileTime(std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

// Times before 1601 are clamped to 0.
[[nodiscard]] FILETIME TimespecToFileTime(const timespec& ts);
[[nodiscard]] timespec FileTimeToTimespec(FILETIME ft);
// The current UTC time.
[[nodiscard]] FILETIME GetSystemTimeAsFileTime();

// Conversions between FILETIME and DATE. Both are exact to the precision of
// the double (a DATE near today resolves about 10 µs... 40 µs); DateToFileTime
// rounds to the nearest 100 ns unit. They fail (return false, leave the
// target alone) for values outside the range both types can hold:
// DATE -657434.0 (year 100) to 2958465.99999 (year 9999), and FILETIME dates
// from 1601 on.
[[nodiscard]] bool FileTimeToDate(FILETIME ft, DATE* date);
[[nodiscard]] bool DateToFileTime(DATE date, FILETIME* ft);
