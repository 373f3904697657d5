#include "platform/filetime.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>

namespace {

using std::chrono::sys_days;
using std::chrono::year;
using std::chrono::year_month_day;

constexpr std::int64_t kUnitsPerDay = 864'000'000'000;
constexpr std::int64_t kUnitsPerMinute = 600'000'000;
constexpr double kLastDateDay = 2'958'465.0;  // 9999-12-31

// FILETIME units of a civil UTC time, computed with the standard calendar so
// that the expectations do not share the constants of the code under test.
std::int64_t UnitsOf(year_month_day day, int minutes = 0) {
  const auto days = (sys_days{day} - sys_days{year{1601} / 1 / 1}).count();
  return days * kUnitsPerDay + minutes * kUnitsPerMinute;
}

const std::int64_t kFileTimeEnd = UnitsOf(year{10000} / 1 / 1);
const std::int64_t kDateEpoch = UnitsOf(year{1899} / 12 / 30);

std::int64_t Units(FILETIME ft) { return FileTimeToInt64(ft); }

// The time a DATE names, in days after 1899-12-30 00:00 (long double holds
// every such value of a double exactly).
long double MomentOf(double date) {
  const long double d = date;
  return date < 0 ? 2 * std::trunc(d) - d : d;
}

// Half the spacing of doubles at the magnitude of the whole days of `units`,
// in 100 ns units: the most a correctly rounded DATE can be off.
long double HalfResolution(std::int64_t units) {
  const std::int64_t since = units - kDateEpoch;
  const std::int64_t days = since / kUnitsPerDay - (since % kUnitsPerDay < 0 ? 1 : 0);
  const auto whole = static_cast<std::uint64_t>(days < 0 ? -days : days);
  if (whole == 0) return std::ldexp(1.0L, -54) * kUnitsPerDay;
  return std::ldexp(1.0L, static_cast<int>(std::bit_width(whole)) - 54) * kUnitsPerDay;
}

TEST(FileTimeDate, AnchorsConvertBothWays) {
  struct Anchor {
    year_month_day day;
    int minutes;
    double date;
  };
  const Anchor anchors[] = {
      {year{1899} / 12 / 30, 0, 0.0},
      {year{1900} / 1 / 1, 0, 2.0},
      {year{1601} / 1 / 1, 0, -109205.0},
      {year{1970} / 1 / 1, 0, 25569.0},
      {year{2000} / 1 / 1, 12 * 60, 36526.5},
      // Before the epoch the fraction still counts forward from midnight.
      {year{1899} / 12 / 29, 6 * 60, -1.25},
      {year{1601} / 1 / 1, 12 * 60, -109205.5},
      {year{9999} / 12 / 31, 0, kLastDateDay},
      {year{9999} / 12 / 31, 18 * 60, kLastDateDay + 0.75},
  };
  for (const Anchor& a : anchors) {
    SCOPED_TRACE(a.date);
    DATE date = -1;
    ASSERT_TRUE(FileTimeToDate(Int64ToFileTime(UnitsOf(a.day, a.minutes)), &date));
    EXPECT_EQ(date, a.date);
    FILETIME ft{};
    ASSERT_TRUE(DateToFileTime(a.date, &ft));
    EXPECT_EQ(Units(ft), UnitsOf(a.day, a.minutes));
  }
}

TEST(FileTimeDate, NegativeDatesNameTheTimeOfDayForward) {
  FILETIME a{}, b{};
  // -0.25 and 0.25 both name 06:00 on 1899-12-30.
  ASSERT_TRUE(DateToFileTime(-0.25, &a) && DateToFileTime(0.25, &b));
  EXPECT_EQ(Units(a), Units(b));
  // The last unit of a day before the epoch rounds up to the next midnight,
  // not to a DATE of magnitude |day| + 1 (two days earlier).
  DATE date = 0;
  ASSERT_TRUE(FileTimeToDate(Int64ToFileTime(kUnitsPerDay - 1), &date));
  EXPECT_EQ(date, -109204.0);
}

TEST(FileTimeDate, FileTimesGiveTheNearestDate) {
  std::mt19937_64 random(20261206);
  std::uniform_int_distribution<std::int64_t> any(0, kFileTimeEnd - kUnitsPerDay);
  // Within 8192 days of the epoch a DATE resolves single units.
  std::uniform_int_distribution<std::int64_t> near(kDateEpoch - 8191 * kUnitsPerDay,
                                                   kDateEpoch + 8191 * kUnitsPerDay);
  for (int i = 0; i < 200'000; ++i) {
    const std::int64_t units = (i % 4 == 0) ? near(random) : any(random);
    SCOPED_TRACE(units);
    DATE date = 0;
    ASSERT_TRUE(FileTimeToDate(Int64ToFileTime(units), &date));
    const long double moment = static_cast<long double>(units - kDateEpoch) / kUnitsPerDay;
    const long double error = std::fabs(MomentOf(date) - moment) * kUnitsPerDay;
    // The reference itself is good to about 2^-64 of its magnitude.
    ASSERT_LE(error, HalfResolution(units) + 1e-6L);
    FILETIME back{};
    ASSERT_TRUE(DateToFileTime(date, &back));
    ASSERT_LE(std::fabs(static_cast<long double>(Units(back) - units)),
              std::floor(HalfResolution(units) + 0.5L));
  }
}

// The unit nearest to the time a DATE names, ties to the later unit. From
// |date| >= 16384 on, a DATE's fraction has at most 38 + 26 significant bits
// after multiplying by 864e9 = 52734375 * 2^14, so the long double product is
// exact and so is this reference.
std::int64_t NearestUnit(double date) {
  const long double whole = std::trunc(static_cast<long double>(date));
  const long double time = std::fabs(date - whole) * static_cast<long double>(kUnitsPerDay);
  return UnitsOf(year{1899} / 12 / 30) + static_cast<std::int64_t>(whole) * kUnitsPerDay +
         static_cast<std::int64_t>(std::floor(time + 0.5L));
}

TEST(FileTimeDate, DatesGiveTheNearestUnitAndComeBackExactly) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> after(8192.0, kLastDateDay + 1);
  std::uniform_real_distribution<double> before(-109205.999, -8192.0);
  for (int i = 0; i < 200'000; ++i) {
    const double date = (i % 2 == 0) ? after(random) : before(random);
    SCOPED_TRACE(date);
    FILETIME ft{};
    ASSERT_TRUE(DateToFileTime(date, &ft));
    if (std::fabs(date) >= 16384) {
      ASSERT_EQ(Units(ft), NearestUnit(date));
    }
    // From 8192 days on, doubles are more than one unit apart.
    DATE back = 0;
    ASSERT_TRUE(FileTimeToDate(ft, &back));
    ASSERT_EQ(back, date);
  }
  // 36526 + 1/2^15 days is 2000-01-01 plus exactly 26367187.5 units.
  FILETIME tie{};
  ASSERT_TRUE(DateToFileTime(36526.0 + std::ldexp(1.0, -15), &tie));
  EXPECT_EQ(Units(tie), UnitsOf(year{2000} / 1 / 1) + 26'367'188);
}

TEST(FileTimeDate, RangeEndsAreKeptAndOutsideIsRefused) {
  const DATE last_date = std::nextafter(kLastDateDay + 1, 0.0);
  DATE date = 0;
  ASSERT_TRUE(FileTimeToDate(Int64ToFileTime(kFileTimeEnd - 1), &date));
  EXPECT_EQ(date, last_date);
  FILETIME ft{};
  ASSERT_TRUE(DateToFileTime(last_date, &ft));
  EXPECT_LT(Units(ft), kFileTimeEnd);
  ASSERT_TRUE(DateToFileTime(-109205.999999, &ft));
  EXPECT_LT(Units(ft), kUnitsPerDay);

  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (const double bad : {-109206.0, -657434.0, kLastDateDay + 1, 1e300, -kInf, kInf,
                           std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(bad);
    FILETIME untouched{0x1234, 0x5678};
    EXPECT_FALSE(DateToFileTime(bad, &untouched));
    EXPECT_EQ(untouched.dwLowDateTime, 0x1234u);
    EXPECT_EQ(untouched.dwHighDateTime, 0x5678u);
  }
  for (const std::int64_t bad : {kFileTimeEnd, std::int64_t{-1}, kFileTimeEnd * 3}) {
    SCOPED_TRACE(bad);
    DATE untouched = 42.5;
    EXPECT_FALSE(FileTimeToDate(Int64ToFileTime(bad), &untouched));
    EXPECT_EQ(untouched, 42.5);
  }
  EXPECT_FALSE(FileTimeToDate(Int64ToFileTime(0), nullptr));
  EXPECT_FALSE(DateToFileTime(0.0, nullptr));
}

TEST(FileTimeTimespec, ConvertsAroundTheUnixEpochAndClamps) {
  const std::int64_t epoch = UnitsOf(year{1970} / 1 / 1);
  EXPECT_EQ(kFileTimeUnixEpoch, epoch);
  EXPECT_EQ(Units(TimespecToFileTime({0, 0})), epoch);
  EXPECT_EQ(Units(TimespecToFileTime({1, 999'999'999})), epoch + 19'999'999);  // truncated
  EXPECT_EQ(Units(TimespecToFileTime({-1, 500'000'000})), epoch - 5'000'000);

  const time_t first_second = -(epoch / 10'000'000);  // 1601-01-01 00:00:00
  EXPECT_EQ(Units(TimespecToFileTime({first_second, 100})), 1);
  EXPECT_EQ(Units(TimespecToFileTime({first_second, 0})), 0);
  EXPECT_EQ(Units(TimespecToFileTime({first_second - 1, 999'999'999})), 0);
  EXPECT_EQ(Units(TimespecToFileTime({std::numeric_limits<time_t>::min(), 0})), 0);
  EXPECT_EQ(Units(TimespecToFileTime({std::numeric_limits<time_t>::max(), 0})),
            std::numeric_limits<std::int64_t>::max());

  const timespec start = FileTimeToTimespec(Int64ToFileTime(0));
  EXPECT_EQ(start.tv_sec, first_second);
  EXPECT_EQ(start.tv_nsec, 0);
  const timespec before_epoch = FileTimeToTimespec(Int64ToFileTime(epoch - 1));
  EXPECT_EQ(before_epoch.tv_sec, -1);
  EXPECT_EQ(before_epoch.tv_nsec, 999'999'900);
}

TEST(FileTimeTimespec, RoundTripsAndReadsTheClock) {
  std::mt19937_64 random(11);
  std::uniform_int_distribution<std::int64_t> any(0, std::numeric_limits<std::int64_t>::max());
  for (int i = 0; i < 10'000; ++i) {
    const std::int64_t units = i == 0 ? std::numeric_limits<std::int64_t>::max() : any(random);
    ASSERT_EQ(Units(TimespecToFileTime(FileTimeToTimespec(Int64ToFileTime(units)))), units);
  }
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const std::int64_t now = Units(GetSystemTimeAsFileTime());
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_LE(Units(TimespecToFileTime(before)), now);
  EXPECT_LE(now, Units(TimespecToFileTime(after)));
}

}  // namespace
