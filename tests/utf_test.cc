#include "platform/utf.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace korvo {
namespace {

TEST(Utf8ToUtf16, DecodesEveryLength) {
  EXPECT_EQ(utf8_to_utf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            std::u16string(u"a\u00E9\u20AC\U0001F600"));
  EXPECT_EQ(utf8_to_utf16(""), u"");
  EXPECT_EQ(utf8_to_utf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  // Runs of ASCII long enough to be taken in blocks, broken anywhere.
  EXPECT_EQ(utf8_to_utf16("0123456789abcdef\xC3\xA9" "0123456\xFF" "01234567"),
            u"0123456789abcdef\u00E90123456\uFFFD01234567");
  EXPECT_EQ(utf8_sequence_length("a"), 1u);
  EXPECT_EQ(utf8_sequence_length("\xC3\xA9x"), 2u);
  EXPECT_EQ(utf8_sequence_length("\xF0\x9F\x98\x80"), 4u);
  EXPECT_EQ(utf8_sequence_length(""), 0u);
}

TEST(Utf8ToUtf16, EachBadByteBecomesOneReplacement) {
  struct {
    std::string in;
    std::u16string want;
  } cases[] = {
      {"\x80", u"\uFFFD"},                      // stray continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong, three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD\uFFFD"},            // truncated at the end
      {"\xE2\x82x", u"\uFFFD\uFFFDx"},          // truncated before ASCII
      {"\xFF" "a", u"\uFFFDa"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_to_utf16(c.in), c.want) << c.in;
    EXPECT_FALSE(is_valid_utf8(c.in)) << c.in;
    EXPECT_EQ(utf8_sequence_length(c.in), 0u) << c.in;
  }
  EXPECT_TRUE(is_valid_utf8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  EXPECT_TRUE(is_valid_utf8(std::string("\0", 1)));
}

TEST(AppendUtf8, LoneSurrogatesBecomeReplacement) {
  std::string out;
  append_utf8(out, std::u16string(u"x\xD800y\xDC00z\xD83D"));
  EXPECT_EQ(out, "x\xEF\xBF\xBDy\xEF\xBF\xBDz\xEF\xBF\xBD");
  out.clear();
  // A low surrogate before a high one is two lone surrogates.
  append_utf8(out, std::u16string(u"\xDE00\xD83D"));
  EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD");
  out.clear();
  append_utf8(out, static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(out, "");
}

TEST(Utf, ValidTextRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::u16string text;
    for (int i = 0; i < 20; ++i) {
      std::uint32_t cp = rng() % 0x110000;
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'x';
      if (cp >= 0x10000) {
        cp -= 0x10000;
        text.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        text.push_back(static_cast<char16_t>(cp));
      }
    }
    std::string bytes;
    append_utf8(bytes, text);
    ASSERT_EQ(utf8_to_utf16(bytes), text);
  }
}

TEST(PathText, CarriesEveryByteBackAndPrintsItAsReplacement) {
  struct {
    std::string bytes;
    std::string printed;
  } cases[] = {
      {"./lib\xFF.kzm", "./lib\xEF\xBF\xBD.kzm"},
      {"\xC3\xA9\x80", "\xC3\xA9\xEF\xBF\xBD"},
      {"\xED\xB2\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      // U+10080 has U+DC80 as its low half: a pair, not a carried byte.
      {"\xF0\x90\x82\x80\xE2\x82", "\xF0\x90\x82\x80\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::u16string text = path_to_utf16(c.bytes);
    EXPECT_EQ(path_bytes(text.c_str()), c.bytes);
    std::string printed;
    append_utf8(printed, text);
    EXPECT_EQ(printed, c.printed);
  }
  EXPECT_EQ(path_bytes(nullptr), "");
}

TEST(EqualsAsciiNocase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equals_ascii_nocase(u"E2001", u"e2001"));
  EXPECT_TRUE(equals_ascii_nocase(u"PRINT", u"print"));
  EXPECT_FALSE(equals_ascii_nocase(u"\u00E91", u"\u00C91"));  // é vs É
  EXPECT_FALSE(equals_ascii_nocase(u"@", u"`"));  // 0x40 and 0x60
  EXPECT_FALSE(equals_ascii_nocase(u"[", u"{"));
  EXPECT_FALSE(equals_ascii_nocase(u"ab", u"abc"));
  EXPECT_TRUE(equals_ascii_nocase(u"", u""));
  // Byte texts follow the same rule.
  EXPECT_TRUE(equals_ascii_nocase("Serial", "sERIAL"));
  EXPECT_FALSE(equals_ascii_nocase("\xC3\xA9", "\xC3\x89"));
  EXPECT_FALSE(equals_ascii_nocase("@", "`"));
}

// Every length through the block sizes, every position: the first byte a
// JSON string cannot hold as it is, or the first non-ASCII one, and never a
// byte outside the text (ASan watches the exact-size buffer).
TEST(FindJsonSpecial, FindsTheFirstSpecialByteAtEveryLengthAndPlace) {
  // Special bytes, and plain ones next to them in value.
  const unsigned char palette[] = {'"',  '\\', 0x00, 0x1F, 0x80, 0xFF, 0xC3,
                                   0x20, 0x21, 0x23, 0x5B, 0x5D, 0x7F, 'a'};
  const auto special = [](unsigned char c) {
    return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
  };
  std::mt19937 random(7);
  for (std::size_t length = 0; length <= 40; ++length) {
    for (int round = 0; round < 200; ++round) {
      const auto text = std::make_unique<char[]>(length);
      std::size_t expected = length;
      for (std::size_t i = 0; i < length; ++i) {
        // Mostly plain, so that the first special falls anywhere.
        const unsigned char c =
            random() % 8 == 0 ? palette[random() % sizeof palette] : 'a';
        text[i] = static_cast<char>(c);
        if (special(c) && expected == length) expected = i;
      }
      EXPECT_EQ(find_json_special(text.get(), text.get() + length) - text.get(),
                static_cast<std::ptrdiff_t>(expected))
          << length << " " << round;
    }
  }
}

}  // namespace
}  // namespace korvo
