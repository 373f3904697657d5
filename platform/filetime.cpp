#include "platform/filetime.h"

#include <bit>
#include <cmath>
#include <limits>

namespace {

// The exact conversions below multiply 53-bit mantissas by kUnitsPerDay
// (< 2^40), which needs more than 64 bits.
__extension__ using Uint128 = unsigned __int128;

constexpr std::int64_t kUnitsPerSecond = 10'000'000;
constexpr std::int64_t kUnitsPerDay = 86'400 * kUnitsPerSecond;
// Days from 1601-01-01 (FILETIME 0) to 1899-12-30 (DATE 0).
constexpr std::int64_t kDateEpochDays = 109'205;
// DATE of 10000-01-01, the first day past the range of a DATE.
constexpr double kDateEnd = 2'958'466.0;
// DATE of 1600-12-31: every DATE above it names a time from 1601 on (a DATE
// in (-109206, -109205) is a time of day on 1601-01-01).
constexpr double kDateBeforeFileTimes = -109'206.0;
// First FILETIME unit of 10000-01-01; every FILETIME below it has a DATE.
constexpr std::int64_t kFileTimeEnd =
    (kDateEpochDays + static_cast<std::int64_t>(kDateEnd)) * kUnitsPerDay;
constexpr std::int64_t kUnixEpochSeconds = kFileTimeUnixEpoch / kUnitsPerSecond;

// round(rem / kUnitsPerDay * 2^bits), ties to even; 0 <= rem < kUnitsPerDay,
// bits <= 52. The result can be 2^bits when rem is just below a whole day.
std::uint64_t ScaledTimeOfDay(std::int64_t rem, int bits) {
  const Uint128 scaled = static_cast<Uint128>(rem) << bits;
  auto quotient = static_cast<std::uint64_t>(scaled / kUnitsPerDay);
  const auto twice_remainder = static_cast<std::uint64_t>(scaled % kUnitsPerDay) * 2;
  const auto units = static_cast<std::uint64_t>(kUnitsPerDay);
  if (twice_remainder > units || (twice_remainder == units && (quotient & 1) != 0)) ++quotient;
  return quotient;
}

// The double nearest to the moment `rem` units (0 <= rem < kUnitsPerDay) into
// day `days` of the DATE calendar, written the DATE way: before the epoch the
// integer part counts back and the fraction forward, so the magnitude is
// |days| + rem / kUnitsPerDay.
double DateOfDayAndTime(std::int64_t days, std::int64_t rem) {
  // A single IEEE division of two exact values is correctly rounded.
  if (days == 0) return static_cast<double>(rem) / static_cast<double>(kUnitsPerDay);
  const auto whole = static_cast<std::uint64_t>(days < 0 ? -days : days);
  // Fraction bits a double keeps beside this many integer bits.
  const int bits = 53 - static_cast<int>(std::bit_width(whole));
  const std::uint64_t time = ScaledTimeOfDay(rem, bits);
  // Rounded up to the next midnight: that is day days + 1 with time 0. (For a
  // negative day, carrying into the integer part of the magnitude instead
  // would name a time two days earlier.)
  if (time == (std::uint64_t{1} << bits)) return static_cast<double>(days + 1);
  // |days| * 2^bits + time < 2^53, so the sum below is exact.
  const double fraction = std::ldexp(static_cast<double>(time), -bits);
  return days > 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

// round(fraction * kUnitsPerDay) for 0 <= fraction < 1, ties upwards, from
// the exact value of the double.
std::int64_t TimeOfDayUnits(double fraction) {
  if (fraction == 0) return 0;
  int exponent = 0;
  const double mantissa = std::frexp(fraction, &exponent);  // in [0.5, 1)
  // fraction == significand / 2^shift exactly, with shift >= 53.
  const auto significand = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
  const int shift = 53 - exponent;
  // significand * kUnitsPerDay < 2^93: below half a unit from here on.
  if (shift > 93) return 0;
  const Uint128 product = static_cast<Uint128>(significand) * kUnitsPerDay;
  Uint128 units = product >> shift;
  if (((product >> (shift - 1)) & 1) != 0) ++units;
  return static_cast<std::int64_t>(units);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

FILETIME TimespecToFileTime(const timespec& ts) {
  const auto seconds = static_cast<std::int64_t>(ts.tv_sec);
  if (seconds < -kUnixEpochSeconds) return Int64ToFileTime(0);
  std::int64_t units = 0;
  if (__builtin_add_overflow(seconds, kUnixEpochSeconds, &units) ||
      __builtin_mul_overflow(units, kUnitsPerSecond, &units) ||
      __builtin_add_overflow(units, ts.tv_nsec / 100, &units)) {
    return Int64ToFileTime(std::numeric_limits<std::int64_t>::max());
  }
  return Int64ToFileTime(units);
}

timespec FileTimeToTimespec(FILETIME ft) {
  const std::uint64_t units =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const auto per_second = static_cast<std::uint64_t>(kUnitsPerSecond);
  timespec ts{};
  ts.tv_sec =
      static_cast<time_t>(static_cast<std::int64_t>(units / per_second) - kUnixEpochSeconds);
  ts.tv_nsec = static_cast<long>(units % per_second * 100);
  return ts;
}

FILETIME GetSystemTimeAsFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return TimespecToFileTime(now);
}

bool FileTimeToDate(FILETIME ft, DATE* date) {
  const std::int64_t units = FileTimeToInt64(ft);
  if (date == nullptr || units < 0 || units >= kFileTimeEnd) return false;
  const std::int64_t since_epoch = units - kDateEpochDays * kUnitsPerDay;
  const std::int64_t days = FloorDiv(since_epoch, kUnitsPerDay);
  const double rounded = DateOfDayAndTime(days, since_epoch - days * kUnitsPerDay);
  // The last 20 us of 9999-12-31 round to 10000-01-01, which no DATE names;
  // they stay on the last DATE of 9999 instead.
  *date = rounded < kDateEnd ? rounded : std::nextafter(kDateEnd, 0.0);
  return true;
}

bool DateToFileTime(DATE date, FILETIME* ft) {
  // Written so that NaN fails too.
  if (ft == nullptr || !(date > kDateBeforeFileTimes && date < kDateEnd)) return false;
  double whole = 0;
  // Exact: the fractional part of a double is itself a double.
  const double fraction = std::modf(date, &whole);
  const std::int64_t units = (static_cast<std::int64_t>(whole) + kDateEpochDays) * kUnitsPerDay +
                             TimeOfDayUnits(std::fabs(fraction));
  // Unreachable with the present limits (below 2958466 a fraction is at most
  // 1 - 2^-31, far from rounding up to a whole day); guards them if they move.
  if (units >= kFileTimeEnd) return false;
  *ft = Int64ToFileTime(units);
  return true;
}
