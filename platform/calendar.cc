#include "platform/calendar.h"

namespace korvo {
namespace {

constexpr std::uint64_t kTicksPerMillisecond = 10'000;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kSecondsPerDay = 86'400;

// Days in the Gregorian cycles. 1601 starts a 400-year cycle, so counting
// whole cycles from there needs no offset.
constexpr std::uint64_t kDaysPer400Years = 146'097;
constexpr std::uint64_t kDaysPer100Years = 36'524;
constexpr std::uint64_t kDaysPer4Years = 1'461;
constexpr std::uint64_t kDaysPerYear = 365;

// Days before the first of each month, in common and in leap years.
constexpr std::uint32_t kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

}  // namespace

bool filetime_to_utc(std::uint64_t filetime, calendar_time& out) {
  if (filetime >= kFiletimeLimit) return false;
  const std::uint64_t seconds = filetime / kTicksPerSecond;
  const std::uint64_t days = seconds / kSecondsPerDay;
  const std::uint64_t second_of_day = seconds % kSecondsPerDay;

  // Split the days into 400-, 100-, 4- and 1-year spans. The last 100-year
  // span of a cycle and the last year of a 4-year span are one day longer,
  // so their quotient can reach 4 on the very last day; it is then clamped.
  std::uint64_t rest = days % kDaysPer400Years;
  const std::uint64_t n400 = days / kDaysPer400Years;
  std::uint64_t n100 = rest / kDaysPer100Years;
  if (n100 == 4) n100 = 3;
  rest -= n100 * kDaysPer100Years;
  const std::uint64_t n4 = rest / kDaysPer4Years;
  rest %= kDaysPer4Years;
  std::uint64_t n1 = rest / kDaysPerYear;
  if (n1 == 4) n1 = 3;
  rest -= n1 * kDaysPerYear;

  // The year 1601 + 400*n400 + 100*n100 + 4*n4 + n1 is divisible by 4 when
  // n1 is 3, by 100 when n4 is also 24, and by 400 when n100 is also 3.
  const bool leap = n1 == 3 && (n4 != 24 || n100 == 3);
  const auto day_of_year = static_cast<std::uint32_t>(rest);
  std::uint32_t month = 1;
  while (day_of_year >= kDaysBeforeMonth[leap][month]) ++month;

  out.year =
      static_cast<std::uint32_t>(1601 + 400 * n400 + 100 * n100 + 4 * n4 + n1);
  out.month = month;
  out.day = day_of_year - kDaysBeforeMonth[leap][month - 1] + 1;
  // 1601-01-01 was a Monday.
  out.day_of_week = static_cast<std::uint32_t>((days + 1) % 7);
  out.hour = static_cast<std::uint32_t>(second_of_day / 3600);
  out.minute = static_cast<std::uint32_t>(second_of_day / 60 % 60);
  out.second = static_cast<std::uint32_t>(second_of_day % 60);
  out.millisecond =
      static_cast<std::uint32_t>(filetime / kTicksPerMillisecond % 1000);
  return true;
}

bool utc_to_filetime(const calendar_time& t, std::uint64_t& out) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 ||
      t.hour > 23 || t.minute > 59 || t.second > 59 || t.millisecond > 999) {
    return false;
  }
  const std::uint32_t y = t.year;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const std::uint32_t month_days =
      kDaysBeforeMonth[leap][t.month] - kDaysBeforeMonth[leap][t.month - 1];
  if (t.day < 1 || t.day > month_days) return false;
  const std::uint64_t years = y - 1601;
  const std::uint64_t days = years * kDaysPerYear + years / 4 - years / 100 +
                             years / 400 + kDaysBeforeMonth[leap][t.month - 1] +
                             t.day - 1;
  const std::uint64_t seconds =
      days * kSecondsPerDay + t.hour * 3600u + t.minute * 60u + t.second;
  out = seconds * kTicksPerSecond + t.millisecond * kTicksPerMillisecond;
  return true;
}

}  // namespace korvo
