// tag-service's log lines: timestamp first, key=value fields, one line
// whatever the values hold.
#include "tag_service/service/log_line.h"

#include <gtest/gtest.h>

namespace tag_service {
namespace {

// 2024-05-13T09:41:07Z as a FILETIME.
constexpr std::uint64_t kWhole = 133600668670000000ull;

TEST(LogLine, TimestampThenFieldsQuotedOnlyWhereNeeded) {
  const std::string long_value(600, 'x');
  struct {
    std::string value;
    std::string shown;
  } cases[] = {
      {"/TagService/items", "/TagService/items"},
      {"", "\"\""},
      {"GET /x", "\"GET /x\""},
      {"a=b", "\"a=b\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir", "\"C:\\\\dir\""},
      {"line\nbreak\rand\ttab", "line?break?and?tab"},
      {"Zo\xC3\xAB \xE6\x9D\xB1", "\"Zo\xC3\xAB \xE6\x9D\xB1\""},
      {"bad\xFFutf8", "bad?utf8"},
      {long_value, std::string(512, 'x')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(log_line(kWhole, {{"path", c.value}, {"status", "200"}}),
              "2024-05-13T09:41:07Z path=" + c.shown + " status=200")
        << c.value;
  }
}

}  // namespace
}  // namespace tag_service

namespace tag_service {
namespace {

// Lines at the given milliseconds through a limit of 2 at once and 1 a
// second: which go out, and how many were held back before each.
TEST(LogRateLimit, LetsABurstThroughThenARateAndCountsTheRest) {
  const struct {
    int ms;
    bool allowed;
    std::uint64_t suppressed;
  } lines[] = {
      {0, true, 0},    {0, true, 0},    {0, false, 0},    {100, false, 0},
      {999, false, 0}, {1000, true, 3}, {1000, false, 0}, {1500, false, 0},
      {2000, true, 2}, {9000, true, 0}, {9000, true, 0},  {9000, false, 0},
  };
  log_rate_limit limit(1, 2);
  const log_rate_limit::time_point t0{};
  for (const auto& l : lines) {
    std::uint64_t suppressed = 99;
    const bool allowed =
        limit.allow(t0 + std::chrono::milliseconds(l.ms), suppressed);
    EXPECT_EQ(allowed, l.allowed) << l.ms;
    if (allowed) {
      EXPECT_EQ(suppressed, l.suppressed) << l.ms;
    }
  }
}

}  // namespace
}  // namespace tag_service
