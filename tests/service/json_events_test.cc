// The session's JSON event parser: what it reports for well-formed texts,
// and that it accepts exactly what an independent parser (nlohmann/json)
// accepts.
#include "qel/json_events.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace rfid_qel {
namespace {

// Writes every event as a short token: {, }, [, ], k:KEY, s:TEXT, i-N, uN,
// d, n, t, f. Stops (returns false) at the event numbered stop_at.
struct transcript {
  std::string out;
  int events = 0;
  int stop_at = -1;

  bool add(const std::string& token) {
    if (!out.empty()) out += ' ';
    out += token;
    return events++ != stop_at;
  }
  bool null() { return add("n"); }
  bool boolean(bool v) { return add(v ? "t" : "f"); }
  bool number_integer(std::int64_t v) { return add("i" + std::to_string(v)); }
  bool number_unsigned(std::uint64_t v) { return add("u" + std::to_string(v)); }
  bool number_float(double) { return add("d"); }
  bool string(std::string_view v) { return add("s:" + std::string(v)); }
  bool key(std::string_view v) { return add("k:" + std::string(v)); }
  bool start_object() { return add("{"); }
  bool end_object() { return add("}"); }
  bool start_array() { return add("["); }
  bool end_array() { return add("]"); }
};

TEST(JsonEvents, WellFormedTextsGiveTheirEvents) {
  const struct {
    std::string text;
    std::string events;
  } cases[] = {
      {R"({"a": [1, -2, 3.5, true, false, null], "b": {}})",
       "{ k:a [ u1 i-2 d t f n ] k:b { } }"},
      {" \t\r\n[ ] ", "[ ]"},
      {"\xEF\xBB\xBF{}", "{ }"},
      {R"(["\"\\\/\b\f\n\r\t"])", "[ s:\"\\/\b\f\n\r\t ]"},
      {R"(["\u00e9\u6771\ud83d\ude00", "x\u0000y"])",
       "[ s:\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x98\x80 s:" + std::string("x\0y", 3) +
           " ]"},
      {"[\"M\xC3\xBCller \xF0\x9F\x98\x80 a long text that crosses blocks\"]",
       "[ s:M\xC3\xBCller \xF0\x9F\x98\x80 a long text that crosses blocks ]"},
      {R"({"\u0069d": "v"})", "{ k:id s:v }"},
      {"[-0, 0, 18446744073709551615, -9223372036854775808]",
       "[ i0 u0 u18446744073709551615 i-9223372036854775808 ]"},
      {"[18446744073709551616, -9223372036854775809, 1e-999, 1E+2]",
       "[ d d d d ]"},
      {"\"top\"", "s:top"},
      {"7", "u7"},
  };
  for (const auto& c : cases) {
    transcript t;
    json_fault fault;
    EXPECT_TRUE(parse_json(c.text, t, fault))
        << c.text << ": " << fault.message;
    EXPECT_EQ(t.out, c.events) << c.text;
    EXPECT_TRUE(nlohmann::json::accept(c.text)) << c.text;
  }
}

TEST(JsonEvents, AcceptsExactlyWhatAnIndependentParserAccepts) {
  const std::string texts[] = {
      "",
      " ",
      "{",
      "}",
      "[1,]",
      "[,1]",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{1:2}",
      "[1 2]",
      "[01]",
      "[1.]",
      "[.5]",
      "[1e]",
      "[1e+]",
      "[-]",
      "[+1]",
      "[--1]",
      "[0x1]",
      "[1e999]",
      "[-1e999]",
      "[NaN]",
      "[tru]",
      "[nul]",
      "[True]",
      "{} {}",
      "{}x",
      "[\"a]",
      "[\"\\x\"]",
      "[\"\\u12\"]",
      "[\"\\u12G4\"]",
      "[\"\\ud800\"]",
      "[\"\\ud800\\u0041\"]",
      "[\"\\udc00\"]",
      "[\"\\ud800\\udbff\"]",
      "[\"a\tb\"]",
      std::string("[\"a\0b\"]", 7),
      "[\"\x7F\"]",
      "[\"\xFF\"]",
      "[\"\xC0\xAF\"]",
      "[\"\xED\xA0\x80\"]",
      "[\"\xF4\x90\x80\x80\"]",
      "[\"\xE2\x82\"]",
      "[\"\xE2\x82\xAC\"]",
      "[\"\xF0\x9F\x98\x80\"]",
      "\xEF\xBB{}",
      "[1]\n",
      "[\xC3\xA9]",
      "\"\\",
      "[\"\\",
      "[1.5e3, -0.0, 0e0, 123456789012345678901234567890]",
      "{\"a\":{\"b\":[[{}]]}}",
      std::string("{}\0", 3),
      "[\"" + std::string(40, 'x') + "\\n" + std::string(40, 'y') + "\"]",
  };
  for (const std::string& text : texts) {
    transcript t;
    json_fault fault;
    const bool ok = parse_json(text, t, fault);
    // A NUL byte is never JSON; nlohmann/json takes it as the text's end.
    const bool json =
        text.find('\0') == std::string::npos && nlohmann::json::accept(text);
    EXPECT_EQ(ok, json) << text << ": " << fault.message;
    if (!ok) {
      EXPECT_EQ(fault.what, json_fault::kind::malformed) << text;
      EXPECT_GE(fault.position, 1u) << text;
      EXPECT_LE(fault.position, text.size() + 1) << text;
    }
  }
}

TEST(JsonEvents, DepthHandlerStopsAndFaultPlaces) {
  const auto nested = [](std::size_t n) {
    return std::string(n, '[') + std::string(n, ']');
  };
  json_fault fault;
  transcript t;
  EXPECT_TRUE(parse_json(nested(64), t, fault));
  t = {};
  EXPECT_FALSE(parse_json(nested(65), t, fault));
  EXPECT_EQ(fault.what, json_fault::kind::too_deep);
  t = {};
  EXPECT_FALSE(parse_json(nested(5), t, fault, 4));
  EXPECT_EQ(fault.what, json_fault::kind::too_deep);

  // A handler that says no ends the parse at once.
  t = {};
  t.stop_at = 2;
  fault = {};
  EXPECT_FALSE(parse_json(R"({"a": 1, "b": 2})", t, fault));
  EXPECT_EQ(fault.what, json_fault::kind::handler);
  EXPECT_EQ(t.out, "{ k:a u1");

  // Positions count from 1; the end of the text is one past its last byte.
  const struct {
    std::string text;
    std::size_t position;
  } places[] = {{"", 1}, {"[1,]", 4}, {"[\"a\xFF\"]", 4}, {"[1", 3}};
  for (const auto& p : places) {
    fault = {};
    t = {};
    EXPECT_FALSE(parse_json(p.text, t, fault));
    EXPECT_EQ(fault.position, p.position) << p.text;
  }
}

}  // namespace
}  // namespace rfid_qel
