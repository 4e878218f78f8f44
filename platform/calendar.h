// FILETIME to UTC calendar fields (stands in for FileTimeToSystemTime).
// Pure arithmetic: no time zone, no locale, no system call.
#ifndef KORVO_PLATFORM_CALENDAR_H_
#define KORVO_PLATFORM_CALENDAR_H_

#include <cstdint>

namespace korvo {

// Proleptic Gregorian calendar fields in UTC.
struct calendar_time {
  std::uint32_t year = 0;         // 1601 to 30828
  std::uint32_t month = 0;        // 1 to 12
  std::uint32_t day_of_week = 0;  // 0 Sunday to 6 Saturday
  std::uint32_t day = 0;          // 1 to 31
  std::uint32_t hour = 0;
  std::uint32_t minute = 0;
  std::uint32_t second = 0;
  std::uint32_t millisecond = 0;
};

// The first count the conversion refuses, as the platform does.
inline constexpr std::uint64_t kFiletimeLimit = std::uint64_t{1} << 63;

// Converts a count of 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
// Returns false and leaves out unchanged for counts of kFiletimeLimit and
// more; exact for every count below it (the last is 30828-09-14 02:48:05).
bool filetime_to_utc(std::uint64_t filetime, calendar_time& out);

// The reverse: the count of the calendar fields (day_of_week is not read).
// Returns false and leaves out unchanged for fields that name no instant of
// the calendar: a year outside 1601 to 30827, a month or day that does not
// exist, an hour, minute, second or millisecond out of range.
bool utc_to_filetime(const calendar_time& time, std::uint64_t& out);

}  // namespace korvo

#endif  // KORVO_PLATFORM_CALENDAR_H_
