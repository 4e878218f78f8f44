#include "platform/calendar.h"

#include <gtest/gtest.h>

#include <ctime>
#include <random>

namespace korvo {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;

struct fields {
  std::uint32_t year, month, day, hour, minute, second, millisecond,
      day_of_week;
  bool operator==(const fields&) const = default;
};

fields fields_of(const calendar_time& t) {
  return {t.year,   t.month,  t.day,         t.hour,
          t.minute, t.second, t.millisecond, t.day_of_week};
}

std::ostream& operator<<(std::ostream& os, const fields& f) {
  return os << f.year << "-" << f.month << "-" << f.day << " " << f.hour << ":"
            << f.minute << ":" << f.second << "." << f.millisecond << " dow "
            << f.day_of_week;
}

fields convert(std::uint64_t filetime) {
  calendar_time t;
  EXPECT_TRUE(filetime_to_utc(filetime, t)) << filetime;
  return fields_of(t);
}

TEST(FiletimeToUtc, KnownDates) {
  struct {
    std::uint64_t filetime;
    fields want;
  } cases[] = {
      {0, {1601, 1, 1, 0, 0, 0, 0, 1}},
      {9'999, {1601, 1, 1, 0, 0, 0, 0, 1}},
      {10'000, {1601, 1, 1, 0, 0, 0, 1, 1}},
      {315359990000000, {1601, 12, 31, 23, 59, 59, 0, 1}},
      {116444736000000000, {1970, 1, 1, 0, 0, 0, 0, 4}},
      {133536836960000000 + 1234567, {2024, 2, 29, 12, 34, 56, 123, 4}},
      {126227807990000000 + 9'999'999, {2000, 12, 31, 23, 59, 59, 999, 0}},
      {2650467743990000000, {9999, 12, 31, 23, 59, 59, 0, 5}},
      {2650467744000000000, {10000, 1, 1, 0, 0, 0, 0, 6}},
      // The last count the platform converts.
      {kFiletimeLimit - 1, {30828, 9, 14, 2, 48, 5, 477, 4}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(convert(c.filetime), c.want) << c.filetime;
}

TEST(FiletimeToUtc, CenturyLeapRules) {
  // The day after February 28: March 1 in 1700, 1800 and 1900, but
  // February 29 in 2000.
  struct {
    std::uint64_t feb28_noon;
    fields next_day;
  } cases[] = {
      {31292351990000000 - 43'199 * kTicksPerSecond,
       {1700, 3, 1, 12, 0, 0, 0, 1}},
      {62848656000000000, {1800, 3, 1, 12, 0, 0, 0, 6}},
      {94405824000000000 - 12 * 3600 * kTicksPerSecond,
       {1900, 3, 1, 12, 0, 0, 0, 4}},
      {125963423990000000 - 43'199 * kTicksPerSecond - kTicksPerDay,
       {2000, 2, 29, 12, 0, 0, 0, 2}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(convert(c.feb28_noon).day, 28u) << c.feb28_noon;
    EXPECT_EQ(convert(c.feb28_noon + kTicksPerDay), c.next_day);
  }
}

TEST(FiletimeToUtc, RefusesTwoToThe63AndMore) {
  for (std::uint64_t v :
       {kFiletimeLimit, kFiletimeLimit + 1, ~std::uint64_t{0}}) {
    calendar_time t;
    t.year = 7;
    EXPECT_FALSE(filetime_to_utc(v, t)) << v;
    EXPECT_EQ(t.year, 7u) << "left unchanged";
  }
}

// Walks the whole range with a plain month-by-month calendar, checking the
// first midnight of every month and the last tick before it, and every day
// of the first 400-year cycle, where all the leap rules meet.
TEST(FiletimeToUtc, MatchesAStepByStepCalendar) {
  const auto is_leap = [](std::uint32_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  };
  const auto days_in = [&](std::uint32_t year, std::uint32_t month) {
    constexpr std::uint32_t kDays[] = {31, 28, 31, 30, 31, 30,
                                       31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
  };
  std::uint32_t year = 1601, month = 1, day_of_week = 1;
  std::uint64_t day = 0;  // days since 1601-01-01
  int failures = 0;
  const std::uint64_t limit_day = (kFiletimeLimit - 1) / kTicksPerDay;
  while (day <= limit_day && failures < 5) {
    const std::uint32_t length = days_in(year, month);
    const bool every_day = year < 2001;
    for (std::uint32_t d = 1; d <= length; d = every_day ? d + 1 : length + 1) {
      const std::uint64_t midnight = (day + d - 1) * kTicksPerDay;
      if (midnight > kFiletimeLimit - 1) break;
      const fields want{year, month, d, 0, 0, 0, 0, (day_of_week + d - 1) % 7};
      calendar_time t;
      filetime_to_utc(midnight, t);
      if (fields_of(t) != want) {
        ADD_FAILURE() << midnight << ": got " << fields_of(t) << ", want "
                      << want;
        ++failures;
      }
      if (midnight == 0) continue;
      filetime_to_utc(midnight - 1, t);
      const bool month_start = d == 1;
      const std::uint32_t prev_month = month == 1 ? 12 : month - 1;
      const fields want_before{
          month_start && month == 1 ? year - 1 : year,
          month_start ? prev_month : month,
          month_start ? days_in(month == 1 ? year - 1 : year, prev_month)
                      : d - 1,
          23,
          59,
          59,
          999,
          (want.day_of_week + 6) % 7};
      if (fields_of(t) != want_before) {
        ADD_FAILURE() << midnight - 1 << ": got " << fields_of(t) << ", want "
                      << want_before;
        ++failures;
      }
    }
    day += length;
    day_of_week = (day_of_week + length) % 7;
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  EXPECT_EQ(year, 30828u);
  EXPECT_EQ(month, 10u);
}

// Random counts against the C library's own UTC conversion.
TEST(FiletimeToUtc, RandomCountsMatchGmtime) {
  constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;
  std::mt19937_64 rng(20240229);
  std::uniform_int_distribution<std::uint64_t> dist(0, kFiletimeLimit - 1);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t v = dist(rng);
    const std::time_t unix_seconds =
        static_cast<std::int64_t>(v / kTicksPerSecond) - kUnixEpochSeconds;
    std::tm tm{};
    ASSERT_NE(gmtime_r(&unix_seconds, &tm), nullptr);
    const fields want{static_cast<std::uint32_t>(tm.tm_year + 1900),
                      static_cast<std::uint32_t>(tm.tm_mon + 1),
                      static_cast<std::uint32_t>(tm.tm_mday),
                      static_cast<std::uint32_t>(tm.tm_hour),
                      static_cast<std::uint32_t>(tm.tm_min),
                      static_cast<std::uint32_t>(tm.tm_sec),
                      static_cast<std::uint32_t>(v / 10'000 % 1000),
                      static_cast<std::uint32_t>(tm.tm_wday)};
    ASSERT_EQ(convert(v), want) << v;
  }
}

// The reverse conversion undoes the forward one, to the millisecond, over
// the whole range both share.
TEST(UtcToFiletime, RoundTripsRandomCounts) {
  std::mt19937_64 rng(16011231);
  std::uint64_t last = 0;
  ASSERT_TRUE(utc_to_filetime({30827, 12, 0, 31, 23, 59, 59, 999}, last));
  std::uniform_int_distribution<std::uint64_t> dist(0, last);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t v = dist(rng) / 10'000 * 10'000;
    calendar_time t;
    ASSERT_TRUE(filetime_to_utc(v, t));
    std::uint64_t back = 0;
    ASSERT_TRUE(utc_to_filetime(t, back)) << v;
    ASSERT_EQ(back, v);
  }
}

TEST(UtcToFiletime, RefusesFieldsThatNameNoInstant) {
  const calendar_time refused[] = {
      {1600, 12, 0, 31, 23, 59, 59, 999}, {30828, 1, 0, 1, 0, 0, 0, 0},
      {2023, 2, 0, 29, 0, 0, 0, 0},       {1900, 2, 0, 29, 0, 0, 0, 0},
      {2024, 4, 0, 31, 0, 0, 0, 0},       {2024, 13, 0, 1, 0, 0, 0, 0},
      {2024, 0, 0, 1, 0, 0, 0, 0},        {2024, 1, 0, 0, 0, 0, 0, 0},
      {2024, 1, 0, 1, 24, 0, 0, 0},       {2024, 1, 0, 1, 0, 60, 0, 0},
      {2024, 1, 0, 1, 0, 0, 60, 0},       {2024, 1, 0, 1, 0, 0, 0, 1000},
  };
  for (const calendar_time& t : refused) {
    std::uint64_t out = 42;
    EXPECT_FALSE(utc_to_filetime(t, out)) << fields_of(t);
    EXPECT_EQ(out, 42u);
  }
  std::uint64_t out = 0;
  EXPECT_TRUE(utc_to_filetime({2000, 2, 0, 29, 0, 0, 0, 0}, out));
  EXPECT_TRUE(utc_to_filetime({1601, 1, 0, 1, 0, 0, 0, 0}, out));
  EXPECT_EQ(out, 0u);
}

}  // namespace
}  // namespace korvo
