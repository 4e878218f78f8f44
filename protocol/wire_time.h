// Timestamps of the tag service's JSON protocol: UTC texts of the form
// "2024-05-13T09:41:07Z" or "2024-05-13T09:41:07.1234567Z", converted to and
// from FILETIME values (100-nanosecond intervals since 1601-01-01 00:00 UTC).
// Shared by the session library and the tag service. Pure code, no OS.
#ifndef KORVO_PROTOCOL_WIRE_TIME_H_
#define KORVO_PROTOCOL_WIRE_TIME_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tag_protocol {

// Parses "YYYY-MM-DDTHH:MM:SS[.F]Z" with 1 to 7 fraction digits, years 1601
// to 9999 and real calendar dates. Returns nullopt for anything else.
std::optional<std::uint64_t> parse_utc_timestamp(std::string_view text);

// Formats a FILETIME value as parse_utc_timestamp reads it: whole seconds
// without a fraction, else seven fraction digits. Values after the last
// instant of 9999 format as that instant.
std::string format_utc_timestamp(std::uint64_t filetime);

// The longest text format_utc_timestamp makes.
inline constexpr std::size_t kUtcTimestampMax = 28;
// The same text written at out, which has room for kUtcTimestampMax bytes;
// returns its end. For writers that put many timestamps into one text.
char* write_utc_timestamp(char* out, std::uint64_t filetime);

// The FILETIME value of a POSIX time in nanoseconds (now, for instance).
std::uint64_t filetime_from_unix_ns(std::int64_t ns);

}  // namespace tag_protocol

#endif  // KORVO_PROTOCOL_WIRE_TIME_H_
