#include "protocol/wire_time.h"

#include "platform/calendar.h"

namespace tag_protocol {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

// The FILETIME value of calendar fields that are known to be valid.
std::uint64_t filetime_of(std::uint32_t year, std::uint32_t month,
                          std::uint32_t day) {
  std::uint64_t out = 0;
  korvo::utc_to_filetime({year, month, 0, day, 0, 0, 0, 0}, out);
  return out;
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
const std::uint64_t kLatest = filetime_of(10000, 1, 1) - 1;
// 1970-01-01, where POSIX times count from.
const std::uint64_t kUnixEpoch = filetime_of(1970, 1, 1);

}  // namespace

std::optional<std::uint64_t> parse_utc_timestamp(std::string_view s) {
  unsigned year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, year) || s.size() < 20 || s[4] != '-' ||
      !digits(s, 5, 2, month) || s[7] != '-' || !digits(s, 8, 2, day) ||
      s[10] != 'T' || !digits(s, 11, 2, hour) || s[13] != ':' ||
      !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second)) {
    return std::nullopt;
  }
  std::uint64_t whole = 0;
  if (!korvo::utc_to_filetime({year, month, 0, day, hour, minute, second, 0},
                              whole)) {
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
  return whole + fraction;
}

char* write_utc_timestamp(char* out, std::uint64_t filetime) {
  if (filetime > kLatest) filetime = kLatest;
  const std::uint64_t fraction = filetime % kTicksPerSecond;
  korvo::calendar_time c;
  korvo::filetime_to_utc(filetime, c);  // kLatest is well within its range
  // Fixed-width decimal fields, most significant digit first.
  const auto put = [&out](std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) {
      out[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    out += width;
  };
  put(c.year, 4);
  *out++ = '-';
  put(c.month, 2);
  *out++ = '-';
  put(c.day, 2);
  *out++ = 'T';
  put(c.hour, 2);
  *out++ = ':';
  put(c.minute, 2);
  *out++ = ':';
  put(c.second, 2);
  if (fraction != 0) {
    *out++ = '.';
    put(fraction, 7);
  }
  *out++ = 'Z';
  return out;
}

std::string format_utc_timestamp(std::uint64_t filetime) {
  char buf[kUtcTimestampMax];
  return std::string(buf, write_utc_timestamp(buf, filetime));
}

std::uint64_t filetime_from_unix_ns(std::int64_t ns) {
  const std::int64_t ticks = ns / 100;
  const auto offset = static_cast<std::int64_t>(kUnixEpoch);
  const std::int64_t value = ticks + offset;
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

}  // namespace tag_protocol
