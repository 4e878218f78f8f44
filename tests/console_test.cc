#include "platform/console.h"

#include <gtest/gtest.h>

namespace korvo {
namespace {

std::string fmt(std::string_view f, std::initializer_list<print_arg> args) {
  std::string out;
  format_to(out, f, args);
  return out;
}

TEST(FormatTo, FillsConversionsInOrder) {
  EXPECT_EQ(fmt("%s: %s\n", {u"openService", u"down"}), "openService: down\n");
  EXPECT_EQ(fmt("Id=%d Name='%s'", {std::int32_t{-5}, u"x"}), "Id=-5 Name='x'");
  EXPECT_EQ(fmt("%u", {std::uint32_t{4294967295u}}), "4294967295");
  EXPECT_EQ(fmt("%d", {std::int32_t{INT32_MIN}}), "-2147483648");
  EXPECT_EQ(fmt("%d%d", {true, false}), "10");
}

TEST(FormatTo, PadsWithZeros) {
  EXPECT_EQ(fmt("%04u%02u", {std::uint32_t{1601}, std::uint32_t{1}}),
            "160101");
  EXPECT_EQ(fmt("%04u", {std::uint32_t{30828}}), "30828");
  EXPECT_EQ(fmt("%04u", {std::uint32_t{0}}), "0000");
}

TEST(FormatTo, TextsArePrintedLiterallyAsUtf8) {
  // A text is never a format: its percent signs print as they are.
  EXPECT_EQ(fmt("'%s'", {u"100%s%d%%"}), "'100%s%d%%'");
  EXPECT_EQ(fmt("%s", {u"\u00E9\U0001F600"}), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(fmt("[%s]", {static_cast<const char16_t*>(nullptr)}), "[]");
}

TEST(FormatTo, NeverReadsPastItsArguments) {
  EXPECT_EQ(fmt("%s and %d and %u", {u"one"}), "one and  and ");
  EXPECT_EQ(fmt("100%%", {}), "100%");
  EXPECT_EQ(fmt("trailing %", {}), "trailing %");
  EXPECT_EQ(fmt("%x", {std::int32_t{1}}), "%x");
  // A number for a text conversion prints nothing rather than garbage.
  EXPECT_EQ(fmt("<%s>", {std::int32_t{1}}), "<>");
}

TEST(FormatTo, AbsurdWidthPrintsAsWritten) {
  // Found by fuzzing: a width beyond size_t once wrapped around and asked for
  // an impossible allocation.
  EXPECT_EQ(fmt("%99999999999999999999d|%s", {std::int32_t{7}, u"x"}),
            "%99999999999999999999d|");
  EXPECT_EQ(fmt("%1025u|%u", {std::uint32_t{7}}), "%1025u|7");
  EXPECT_EQ(fmt("%01024u", {std::uint32_t{7}}).size(), 1024u);
}

TEST(FormatTo, IntegersFollowTheConversion) {
  EXPECT_EQ(fmt("%u", {std::int32_t{-1}}), "4294967295");
  EXPECT_EQ(fmt("%d", {std::uint32_t{4294967295u}}), "-1");
}

}  // namespace
}  // namespace korvo
