#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/console_format.h"
#include "tests/support/output_capture.h"

namespace korvo {
namespace {

constexpr auto kRecord = compile_format("Id=%s N=%d U=%u [%05d|%3s] 100%%\n");
constexpr auto kPiece = compile_format("%s");
constexpr auto kTriple = compile_format("/%s=%s#%s");
constexpr auto kNoConversion = compile_format("plain line, no conversions\n");

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
  EXPECT_EQ(fmt("%04u%02u", {std::uint32_t{1601}, std::uint32_t{1}}), "160101");
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

TEST(FormatTo, ZeroTerminatedSizedAndBackslashedTexts) {
  // A zero-terminated text stops at its terminator; a sized one does not.
  const char16_t with_zero[] = u"ab\0cd";
  EXPECT_EQ(fmt("[%s]", {static_cast<const char16_t*>(with_zero)}), "[ab]");
  EXPECT_EQ(fmt("[%s]", {std::u16string_view(with_zero, 5)}),
            std::string("[ab\0cd]", 7));
  EXPECT_EQ(fmt("%s", {print_arg::backslashed(u"a/b#c\\d\u00E9/", u'/', u'#')}),
            "a\\/b\\#c\\d\xC3\xA9\\/");
  EXPECT_EQ(fmt("<%s>", {print_arg::backslashed(nullptr, u'/', u'#')}), "<>");
  // Unpaired surrogates, also as the last unit before the terminator.
  EXPECT_EQ(fmt("%s", {u"\xD800x\xDC00\U0001F600\xD83D"}),
            "\xEF\xBF\xBDx\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(CompiledFormat, PrintsWhatFormatToPrints) {
  // The same format given as text and compiled, with every kind of
  // argument, mismatched and missing ones included.
  const char16_t* zt = u"a/b#\u00E9";
  const std::initializer_list<print_arg> arg_lists[] = {
      {u"x", std::int32_t{-5}, std::uint32_t{7}, std::int32_t{-42}, u"ab"},
      {zt, true, false, std::int32_t{123456}, u"abcd"},
      {std::int32_t{1}, u"text for a number", std::uint32_t{2}},
      {},
  };
  for (const auto& args : arg_lists) {
    std::string plan_out;
    format_to(plan_out, kRecord, args);
    EXPECT_EQ(plan_out, fmt("Id=%s N=%d U=%u [%05d|%3s] 100%%\n", args));
  }
  std::string out;
  format_to(out, kTriple, {u"n/m", zt, std::u16string_view(zt)});
  EXPECT_EQ(out, "/n/m=a/b#\xC3\xA9#a/b#\xC3\xA9");
}

TEST(CompiledFormat, TooSmallARoomIsSaidNotOverrun) {
  // Every driver, in every room from none to more than enough: either no
  // room, or exactly the output. Rooms are allocations of their own size,
  // so that the sanitizer build sees a write past one.
  const char16_t* zt = u"a/b#\u00E9\U0001F600";
  const std::initializer_list<print_arg> args = {
      zt, std::int32_t{-5}, std::uint32_t{7}, std::int32_t{-42}, u"ab"};
  const std::string_view text = "Id=%s N=%d U=%u [%05d|%3s] 100%%\n";
  const std::string expected = fmt(text, args);
  using run = char* (*)(char*, char*, std::initializer_list<print_arg>);
  const run runs[] = {
      [](char* p, char* end, std::initializer_list<print_arg> a) {
        return run_text(p, end, "Id=%s N=%d U=%u [%05d|%3s] 100%%\n", a);
      },
      [](char* p, char* end, std::initializer_list<print_arg> a) {
        return run_plan(p, end, kRecord, a);
      },
      [](char* p, char* end, std::initializer_list<print_arg> a) {
        return run_plan<kRecord>(p, end, a);
      },
  };
  for (const run r : runs) {
    bool fitted = false;
    for (std::size_t room = 0; room < expected.size() + 32; ++room) {
      const std::unique_ptr<char[]> buffer(new char[room]);
      char* const end = r(buffer.get(), buffer.get() + room, args);
      if (end == nullptr) {
        EXPECT_FALSE(fitted) << "room " << room;  // a larger room fits too
        continue;
      }
      fitted = true;
      EXPECT_EQ(std::string(buffer.get(), end), expected) << "room " << room;
    }
    EXPECT_TRUE(fitted);
  }
}

// Runs body with standard output caught; returns what was written and
// whether flushing it succeeded.
template <class Body>
std::pair<std::string, bool> printed_by(Body body) {
  korvo_test::output_capture capture;
  body();
  std::string written = capture.take();
  return {written, capture.flushed()};
}

// print() collects output in a buffer and writes it when the next piece
// would not fit: every piece must arrive whole, in order, wherever the
// buffer's end falls, also a piece larger than the buffer.
TEST(Print, PiecesArriveWholeWhereverTheBufferEnds) {
  // Texts that end a piece, each starting at every offset near the end of
  // the buffer (64 KiB) after a filler of single characters.
  const std::u16string probe =
      u"ab/c\u00E9#d\U0001F600e\xD800" + std::u16string(30, u'x');
  const std::u16string filler(1000, u'f');
  std::string expected;
  const auto [written, flushed] = printed_by([&] {
    for (int r = 0; r < 48; ++r) {
      flush_output();
      for (int k = 0; k < 65; ++k) print("%s", {filler.c_str()});
      for (int k = 0; k < 470 + r; ++k) print("%s", {u"g"});
      print("%s", {probe.c_str()});
      print("%s", {print_arg::backslashed(probe.c_str(), u'/', u'#')});
      print("%s|", {probe.c_str()});
      print("%s", {probe});
      print<kRecord>({probe.c_str(), std::int32_t{-1}, std::uint32_t{2},
                      std::int32_t{-3}, u"/"});
      print<kPiece>({probe.c_str()});
      print<kTriple>({probe, probe.c_str(), probe.c_str()});
      print<kNoConversion>();
      format_to(expected, "%s", {std::u16string(65000, u'f')});
      format_to(expected, "%s", {std::u16string(470 + r, u'g')});
      format_to(
          expected, "%s%s%s|%s",
          {probe.c_str(), print_arg::backslashed(probe.c_str(), u'/', u'#'),
           probe.c_str(), probe});
      format_to(expected, "Id=%s N=%d U=%u [%05d|%3s] 100%%\n",
                {probe.c_str(), std::int32_t{-1}, std::uint32_t{2},
                 std::int32_t{-3}, u"/"});
      format_to(expected, "%s/%s=%s#%splain line, no conversions\n",
                {probe.c_str(), probe, probe.c_str(), probe.c_str()});
    }
    // Larger than the buffer.
    const std::u16string huge(200000, u'z');
    print("<%s>", {huge.c_str()});
    print("<%s>", {huge});
    format_to(expected, "<%s><%s>", {huge.c_str(), huge});
  });
  EXPECT_TRUE(flushed);
  EXPECT_TRUE(written == expected)
      << "sizes " << written.size() << " and " << expected.size();
}

}  // namespace
}  // namespace korvo
