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

// Truncates to whole 100 ns units; tv_nsec must lie in [0, 1e9), as the
// kernel gives it. Times before 1601 are clamped to 0, times past the largest
// signed FILETIME (year 30828) to that value.
[[nodiscard]] FILETIME TimespecToFileTime(const timespec& ts);
// Reads the FILETIME as unsigned; tv_nsec is always in [0, 1e9).
[[nodiscard]] timespec FileTimeToTimespec(FILETIME ft);
// The current UTC time.
[[nodiscard]] FILETIME GetSystemTimeAsFileTime();

// Conversions between FILETIME and DATE. A DATE's resolution depends on its
// magnitude: 2^-37 day (about 0.6 us) for dates of today, down to 2^-31 day
// (about 40 us) near the year 9999; only within 8192 days of 1899-12-30 is it
// finer than 100 ns. FileTimeToDate gives the DATE nearest to the exact time
// (ties to even); DateToFileTime rounds the exact time a DATE names to the
// nearest 100 ns unit (ties to the later unit). Hence DATE -> FILETIME -> DATE
// gives back the same DATE wherever |DATE| >= 8192, and FILETIME -> DATE ->
// FILETIME is off by at most half the DATE's resolution (plus the final
// rounding), and exact within 8192 days of 1899-12-30.
// Both fail (return false, leave the target alone) outside the range both
// types can hold: 1601-01-01 00:00 (FILETIME 0, DATE -109205.0) up to the end
// of 9999-12-31 (DATE below 2958466.0); the last 20 us of 9999, which would
// round to 10000-01-01, give the last DATE below it. A null target fails.
[[nodiscard]] bool FileTimeToDate(FILETIME ft, DATE* date);
[[nodiscard]] bool DateToFileTime(DATE date, FILETIME* ft);
