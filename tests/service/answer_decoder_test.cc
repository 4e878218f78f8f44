// The smaller answers of the service: what each decoder takes, what it
// refuses and why, and the limits every answer is held to.
#include "qel/answer_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "qel/service_text.h"

namespace rfid_qel {
namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string many_values(std::size_t n) {
  std::string out = R"({"formats": [)";
  for (std::size_t i = 0; i < n; ++i) out += "0,";
  out.back() = ']';
  return out + "}";
}

TEST(AnswerDecoder, EveryAnswerIsHeldToItsLimits) {
  const struct {
    std::string answer;
    bool ok;
    const char* reason;  // a part of the reason, when refused
  } cases[] = {
      {R"({"x": )" + nested(63) + "}", true, ""},
      {R"({"x": )" + nested(64) + "}", false, "nests deeper than 64 levels"},
      {R"({"x": )" + std::string(1000000, '['), false, "nests deeper than 64"},
      {many_values(99998), true, ""},  // with the object and the list
      {many_values(99999), false, "holds more than 100000 JSON values"},
      {"[]", false, "it is not a JSON object"},
      {R"({"a": 1} x)", false, "it is not a JSON object"},
      {"", false, "it is not a JSON object"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(decode_acknowledgement(c.answer, why), c.ok)
        << c.answer.substr(0, 80);
    if (!c.ok) {
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
  }
}

TEST(AnswerDecoder, PingNamesTheServiceAndItsProtocol) {
  const struct {
    const char* answer;
    bool tag_service;
    std::int64_t protocol;
  } cases[] = {
      {R"({"service": "tag-service", "protocol": 1})", true, 1},
      {R"({"service": "tag-service", "protocol": 2, "x": [1]})", true, 2},
      {R"({"service": "tag-service", "protocol": 1.0})", false, 0},
      {R"({"service": "tag-service"})", false, 0},
      {R"({"service": "other", "protocol": 1})", false, 0},
      {R"({"protocol": 1})", false, 0},
  };
  for (const auto& c : cases) {
    ping_answer ping;
    std::string why;
    ASSERT_TRUE(decode_ping(c.answer, ping, why)) << c.answer;
    EXPECT_EQ(ping.tag_service, c.tag_service) << c.answer;
    if (c.tag_service) {
      EXPECT_EQ(*ping.protocol, c.protocol) << c.answer;
    }
  }
}

TEST(AnswerDecoder, ErrorMessageIsTakenOnlyFromItsPlace) {
  const struct {
    std::string answer;
    const char* message;
  } cases[] = {
      {R"({"error": {"message": "reader jammed", "code": 7}})",
       "reader jammed"},
      {R"({"error": {"message": 5}})", ""},
      {R"({"error": "reader jammed"})", ""},
      {R"({"message": "reader jammed"})", ""},
      {"<html>busy</html>", ""},
      {R"({"error": {"message": "x", "deep": )" + nested(100) + "}}", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(service_error_message(c.answer), c.message) << c.answer;
  }
}

TEST(AnswerDecoder, WrittenTagGivesItsTimeWhenValid) {
  const struct {
    const char* answer;
    bool readable;
    bool has_time;
  } cases[] = {
      {R"({"tag": {"id": "T", "first_seen": "2024-05-13T09:41:07Z"}})", true,
       true},
      {R"({"tag": {"first_seen": "2024-02-30T00:00:00Z"}})", true, false},
      {R"({"tag": {"first_seen": 5}})", true, false},
      {R"({"tag": null})", true, false},
      {R"({})", true, false},
      {R"("tag")", false, false},
  };
  for (const auto& c : cases) {
    std::optional<std::uint64_t> first_seen;
    std::string why;
    EXPECT_EQ(decode_written_tag(c.answer, first_seen, why), c.readable)
        << c.answer;
    EXPECT_EQ(first_seen.has_value(), c.has_time) << c.answer;
  }
  std::optional<std::uint64_t> t;
  std::string why;
  ASSERT_TRUE(decode_written_tag(
      R"({"tag": {"first_seen": "1601-01-01T00:00:01Z"}})", t, why));
  EXPECT_EQ(*t, 10000000u);
}

TEST(AnswerDecoder, FormatsAreRefusedWithTheirReason) {
  const struct {
    const char* answer;
    const char* reason;
  } cases[] = {
      {R"({"formats": 5})", "'formats' is not a list"},
      {R"({"formats": [{"id": "1"}]})", "'id' is not a 32-bit integer"},
      {R"({"formats": [{"fields": [{"id": 1}]}]})", "'name' is missing"},
      {R"({"formats": [7]})", "a tag format is not a JSON object"},
      {R"({"formats": [)", "it is not a JSON object"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(decode_formats(c.answer, why), nullptr) << c.answer;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(ServiceText, ControlCharactersEachBecomeOneReplacement) {
  const struct {
    std::string utf8;
    std::u16string want;
  } cases[] = {
      {"plain Zoë 東京", u"plain Zoë 東京"},
      {std::string("a\0b", 3), u"a\uFFFDb"},
      {"\n\r\t\x1b[2J\x7f", u"\uFFFD\uFFFD\uFFFD\uFFFD[2J\uFFFD"},
      {"\x1f \x20 ~", u"\uFFFD   ~"},
      {"\xC2\x80 \xC2\x9F", u"\u0080 \u009F"},  // C1 controls stay
      {"bad \xFF\n", u"bad \uFFFD\uFFFD"},
      {"", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(service_text_utf16(c.utf8), c.want);
  }
}

}  // namespace
}  // namespace rfid_qel
