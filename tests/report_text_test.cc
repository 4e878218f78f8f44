#include "report/report_text.h"

#include <gtest/gtest.h>

#include "platform/utf.h"

namespace korvo {
namespace {

// What a listing prints for a text in a compact record.
std::string printed_escaped(const std::u16string& text) {
  std::string out;
  format_to(out, "%s", {escape_compact_arg(text.c_str())});
  return out;
}

std::string utf8(std::u16string_view text) {
  std::string out;
  append_utf8(out, text);
  return out;
}

FILETIME filetime(std::uint64_t v) {
  return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
}

TEST(EscapeCompact, BackslashesOnlySlashAndHash) {
  struct {
    std::u16string in, want;
  } cases[] = {
      {u"a/b#c\\d", u"a\\/b\\#c\\d"},  // the input's backslash stays single
      {u"", u""},
      {u"plain", u"plain"},
      {u"//##", u"\\/\\/\\#\\#"},
      {u"/", u"\\/"},
      {u"100% =x\\", u"100% =x\\"},
      {u"\u00E9/\U0001F600#", u"\u00E9\\/\U0001F600\\#"},
      {std::u16string(u"\xD800/", 2), std::u16string(u"\xD800\\/", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(printed_escaped(c.in), utf8(c.want));
}

TEST(EscapeCompact, TextIsNotCopied) {
  // The text is marked while it prints: the argument holds the text itself.
  const std::u16string in = u"E2001/x";
  EXPECT_EQ(escape_compact_arg(in.c_str()).text_data(), in.c_str());
}

TEST(ItemTypeName, NamesAndNumbersOutsideTheTable) {
  struct {
    std::int32_t type;
    std::u16string_view want;
  } cases[] = {
      {0, u"Blank"},
      {1, u"Discard"},
      {2, u"Equipment"},
      {3, u"Ignore"},
      {4, u"Item"},
      {5, u"Location"},
      {6, u"Other"},
      {7, u"Person"},
      {8, u"Task"},
      {9, u"Unknown"},
      {10, u"10"},
      {12, u"12"},
      {-1, u"-1"},
      {INT32_MAX, u"2147483647"},
      {INT32_MIN, u"-2147483648"},
  };
  for (const auto& c : cases) EXPECT_EQ(item_type_name(c.type).view(), c.want);
}

TEST(FormatTimestamp, BothForms) {
  struct {
    std::uint64_t filetime;
    std::u16string_view compact, readable;
  } cases[] = {
      {0, u"16010101000000", u"1601/01/01 00:00:00"},
      {116444736000000000, u"19700101000000", u"1970/01/01 00:00:00"},
      // Milliseconds are dropped, not rounded.
      {133536836969999999, u"20240229123456", u"2024/02/29 12:34:56"},
      {2650467744000000000, u"100000101000000", u"10000/01/01 00:00:00"},
      {(std::uint64_t{1} << 63) - 1, u"308280914024805",
       u"30828/09/14 02:48:05"},
      {std::uint64_t{1} << 63, u"00000000000000", u"0000/00/00 00:00:00"},
      {~std::uint64_t{0}, u"00000000000000", u"0000/00/00 00:00:00"},
  };
  for (const auto& c : cases) {
    const FILETIME ft = filetime(c.filetime);
    EXPECT_EQ(format_timestamp(ft, true), c.compact) << c.filetime;
    EXPECT_EQ(format_timestamp(ft, false), c.readable) << c.filetime;
    EXPECT_EQ(timestamp_text(&ft, true).view(), c.compact);
  }
}

TEST(FormatTimestamp, MissingFiletimePrintsAsZeros) {
  EXPECT_EQ(timestamp_text(nullptr, true).view(), u"00000000000000");
  EXPECT_EQ(timestamp_text(nullptr, false).view(), u"0000/00/00 00:00:00");
}

TEST(TimestampMemo, ReusesOnlyTheSameSecond) {
  // A sequence with repeats, a change of milliseconds only, and neighbours
  // that share a second but not a text (the last convertible count and the
  // first that is not).
  const std::uint64_t last = (std::uint64_t{1} << 63) - 1;
  const std::uint64_t counts[] = {133536836960000000,
                                  133536836960000000,
                                  133536836969999999,
                                  133536836970000000,
                                  last,
                                  last + 1,
                                  last,
                                  0};
  for (bool compact : {true, false}) {
    timestamp_memo memo(compact);
    for (std::uint64_t v : counts) {
      const FILETIME ft = filetime(v);
      EXPECT_EQ(memo.text(&ft).view(), timestamp_text(&ft, compact).view())
          << v;
      EXPECT_EQ(memo.text(nullptr).view(),
                timestamp_text(nullptr, compact).view());
    }
  }
}

}  // namespace
}  // namespace korvo
