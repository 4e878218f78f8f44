#include "protocol/wire_time.h"

#include <cstdio>

namespace tag_protocol {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134'774;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool is_leap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned days_in_month(std::int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30,
                                   31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// Reads exactly n digits at pos; false if any is not a digit.
bool digits(std::string_view s, std::size_t pos, std::size_t n, unsigned& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

// The last instant of 9999-12-31.
const std::uint64_t kLatest =
    static_cast<std::uint64_t>(days_from_civil(10000, 1, 1) +
                               kDaysFrom1601To1970) *
        kSecondsPerDay * kTicksPerSecond -
    1;

}  // namespace

std::optional<std::uint64_t> parse_utc_timestamp(std::string_view s) {
  unsigned year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, year) || s.size() < 20 || s[4] != '-' ||
      !digits(s, 5, 2, month) || s[7] != '-' || !digits(s, 8, 2, day) ||
      s[10] != 'T' || !digits(s, 11, 2, hour) || s[13] != ':' ||
      !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second)) {
    return std::nullopt;
  }
  if (year < 1601 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  std::uint64_t fraction = 0;
  if (s[pos] == '.') {
    ++pos;
    std::size_t n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (++n > 7) return std::nullopt;
      fraction = fraction * 10 + static_cast<std::uint64_t>(s[pos] - '0');
      ++pos;
    }
    if (n == 0) return std::nullopt;
    for (; n < 7; ++n) fraction *= 10;
  }
  if (pos + 1 != s.size() || s[pos] != 'Z') return std::nullopt;
  const auto days = static_cast<std::uint64_t>(
      days_from_civil(year, month, day) + kDaysFrom1601To1970);
  const std::uint64_t seconds =
      days * kSecondsPerDay + hour * 3600u + minute * 60u + second;
  return seconds * kTicksPerSecond + fraction;
}

std::string format_utc_timestamp(std::uint64_t filetime) {
  if (filetime > kLatest) filetime = kLatest;
  const std::uint64_t fraction = filetime % kTicksPerSecond;
  const std::uint64_t seconds = filetime / kTicksPerSecond;
  const auto days = static_cast<std::int64_t>(seconds / kSecondsPerDay);
  const auto in_day = static_cast<unsigned>(seconds % kSecondsPerDay);
  const civil c = civil_from_days(days - kDaysFrom1601To1970);
  char buf[40];
  if (fraction == 0) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<long long>(c.year), c.month, c.day, in_day / 3600,
                  in_day / 60 % 60, in_day % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u.%07lluZ",
                  static_cast<long long>(c.year), c.month, c.day, in_day / 3600,
                  in_day / 60 % 60, in_day % 60,
                  static_cast<unsigned long long>(fraction));
  }
  return buf;
}

std::uint64_t filetime_from_unix_ns(std::int64_t ns) {
  const std::int64_t ticks = ns / 100;
  const auto offset = static_cast<std::int64_t>(
      kDaysFrom1601To1970 * kSecondsPerDay * kTicksPerSecond);
  const std::int64_t value = ticks + offset;
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

}  // namespace tag_protocol
