// Timestamps of the protocol: the text form and its FILETIME value.
#include "protocol/wire_time.h"

#include <gtest/gtest.h>

namespace tag_protocol {
namespace {

// 2024-05-13T07:02:11Z: 1715583731 s after 1970, which is 11644473600 s
// after 1601.
constexpr std::uint64_t kMay13 = (1715583731ull + 11644473600ull) * 10000000;

TEST(WireTime, ReadsTheTextFormsAndKnownValues) {
  struct {
    const char* text;
    std::uint64_t value;
  } cases[] = {
      {"1601-01-01T00:00:00Z", 0},
      {"1601-01-01T00:00:00.0000001Z", 1},
      {"1970-01-01T00:00:00Z", 11644473600ull * 10000000},
      {"2024-05-13T07:02:11Z", kMay13},
      {"2024-05-13T07:02:11.5Z", kMay13 + 5000000},
      {"2024-02-29T00:00:00Z", (1709164800ull + 11644473600ull) * 10000000},
  };
  for (const auto& c : cases) {
    const auto v = parse_utc_timestamp(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
}

TEST(WireTime, RefusesWhatIsNotAUtcTimeOfTheRange) {
  for (const char* text :
       {"", "2024-05-13", "2024-05-13T07:02:11", "2024-05-13 07:02:11Z",
        "2024-05-13T07:02:11+01:00", "2024-13-01T00:00:00Z",
        "2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z", "2024-05-13T24:00:00Z",
        "2024-05-13T07:60:00Z", "2024-05-13T07:02:60Z", "1600-12-31T23:59:59Z",
        "2024-05-13T07:02:11.Z", "2024-05-13T07:02:11.12345678Z",
        "2024-05-13T07:02:11ZZ", "+024-05-13T07:02:11Z",
        "2024-5-13T07:02:11Z"}) {
    EXPECT_FALSE(parse_utc_timestamp(text).has_value()) << text;
  }
}

TEST(WireTime, FormatsWhatItReads) {
  for (const char* text :
       {"1601-01-01T00:00:00Z", "2024-05-13T07:02:11Z",
        "2024-05-13T07:02:11.5000000Z", "9999-12-31T23:59:59.9999999Z",
        "2000-02-29T12:34:56.0000001Z"}) {
    const auto v = parse_utc_timestamp(text);
    ASSERT_TRUE(v.has_value()) << text;
    EXPECT_EQ(format_utc_timestamp(*v), text);
  }
  // Past the year 9999 the last instant stands in.
  EXPECT_EQ(format_utc_timestamp(~0ull), "9999-12-31T23:59:59.9999999Z");
}

TEST(WireTime, UnixNanosecondsBecomeFiletime) {
  EXPECT_EQ(filetime_from_unix_ns(1715583731ll * 1000000000), kMay13);
  EXPECT_EQ(filetime_from_unix_ns(0), 11644473600ull * 10000000);
}

}  // namespace
}  // namespace tag_protocol
