// Who may use the tag service: the tokens file and the check of a
// request's credentials.
#include "tag_service/service/access.h"

#include <gtest/gtest.h>

namespace tag_service {
namespace {

constexpr char kReader[] = "r-0123456789abcdef";
constexpr char kWriter[] = "w-0123456789abcdef";

access_control two_tokens() {
  std::vector<token_entry> tokens;
  std::string error;
  EXPECT_TRUE(parse_tokens(std::string("# site tokens\n\n  laptop read ") +
                               kReader + "  \r\nline-1\twrite\t" + kWriter,
                           tokens, error))
      << error;
  return access_control(std::move(tokens));
}

TEST(TokensFile, ParsesNamesRightsAndTokens) {
  std::vector<token_entry> tokens;
  std::string error;
  ASSERT_TRUE(parse_tokens(std::string("# c\nlaptop read ") + kReader +
                               "\n  # indented comment\nline-1 write " +
                               kWriter + "\n",
                           tokens, error))
      << error;
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].name, "laptop");
  EXPECT_EQ(tokens[0].right, access_right::read);
  EXPECT_EQ(tokens[0].token, kReader);
  EXPECT_EQ(tokens[1].right, access_right::write);
}

TEST(TokensFile, RefusesBadLinesNamingTheLineButNeverTheToken) {
  const std::string t = kReader;
  struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"a read", "line 1: expected NAME RIGHT TOKEN"},
      {"a read " + t + " extra", "more than"},
      {"\na admin " + t, "line 2: the right (the second word) is read"},
      {"a " + t + " read", "line 1: the right"},
      {"a read short", "16 to 512"},
      {"a read " + std::string(513, 'x'), "16 to 512"},
      {"a/b read " + t, "the name takes"},
      {"a read " + t + "\na write " + kWriter, "line 2: the name a"},
      {"a read " + t + "\nb write " + t, "already another's"},
      {"a read " + t + "\x01", "control"},
      {"a read " + t + "\xC3\xA9", "non-ASCII"},
  };
  for (const auto& c : cases) {
    std::vector<token_entry> tokens;
    std::string error;
    EXPECT_FALSE(parse_tokens(c.text, tokens, error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find(kReader), std::string::npos) << error;
  }
}

TEST(SameSecret, ComparesWholeStrings) {
  EXPECT_TRUE(same_secret("abc", "abc"));
  EXPECT_FALSE(same_secret("abc", "abd"));
  EXPECT_FALSE(same_secret("ab", "abc"));
  EXPECT_FALSE(same_secret("abc", "ab"));
  EXPECT_FALSE(same_secret("abcabc", "abc"));
  EXPECT_FALSE(same_secret("", "abc"));
  EXPECT_FALSE(same_secret("abc", ""));
}

TEST(AccessControl, GivesEachCredentialItsVerdict) {
  const access_control access = two_tokens();
  // "x:" + token, base64.
  const std::string basic_writer = "Basic eDp3LTAxMjM0NTY3ODlhYmNkZWY=";
  struct {
    std::string header;
    access_right needed;
    bool basic;
    int status;
    const char* name;
  } cases[] = {
      {"", access_right::read, false, 401, ""},
      {"Bearer", access_right::read, false, 401, ""},
      {"Bearer wrong-0123456789abcdef", access_right::read, false, 401, ""},
      {std::string("Bearer ") + kReader, access_right::read, false, 200,
       "laptop"},
      {std::string("bearer  ") + kReader, access_right::read, false, 200,
       "laptop"},
      {std::string("Bearer ") + kReader, access_right::write, false, 403,
       "laptop"},
      {std::string("Bearer ") + kWriter, access_right::write, false, 200,
       "line-1"},
      {std::string("Bearer ") + kWriter + "x", access_right::read, false, 401,
       ""},
      {basic_writer, access_right::write, true, 200, "line-1"},
      {basic_writer, access_right::read, false, 401, ""},
      {"Basic eDp3LTAxMjM0NTY3ODlhYmNkZWY", access_right::read, true, 401, ""},
      {"Basic !!!!", access_right::read, true, 401, ""},
      {std::string("Token ") + kWriter, access_right::read, true, 401, ""},
  };
  for (const auto& c : cases) {
    const access_verdict v = access.check(c.header, c.needed, c.basic);
    EXPECT_EQ(v.status, c.status) << c.header;
    EXPECT_EQ(v.name, c.name) << c.header;
  }
}

TEST(AccessControl, ReplacedTokensTakeEffect) {
  access_control access = two_tokens();
  std::vector<token_entry> tokens;
  std::string error;
  ASSERT_TRUE(
      parse_tokens(std::string("line-1 read ") + kWriter, tokens, error));
  access.replace(std::move(tokens));
  EXPECT_EQ(
      access.check(std::string("Bearer ") + kReader, access_right::read, false)
          .status,
      401);
  EXPECT_EQ(
      access.check(std::string("Bearer ") + kWriter, access_right::write, false)
          .status,
      403);
}

TEST(AccessControl, SlowsDownAClientThatKeepsFailing) {
  access_control access = two_tokens();
  std::chrono::milliseconds last{0};
  for (int i = 1; i <= 40; ++i) {
    const auto delay = access.note_failure("192.0.2.1");
    if (i <= access_control::kFreeFailures) {
      EXPECT_EQ(delay.count(), 0) << i;
    }
    EXPECT_GE(delay, last) << i;
    EXPECT_LE(delay, access_control::kMaxFailureDelay) << i;
    last = delay;
  }
  EXPECT_EQ(last, access_control::kMaxFailureDelay);
  // Another client is not held for the first one's failures, and a success
  // clears the count.
  EXPECT_EQ(access.note_failure("192.0.2.2").count(), 0);
  access.note_success("192.0.2.1");
  EXPECT_EQ(access.note_failure("192.0.2.1").count(), 0);
}

TEST(LoopbackHost, KnowsWhatOnlyThisMachineReaches) {
  struct {
    const char* host;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},  {"127.8.9.10", true},   {"::1", true},
      {"localhost", true},  {"0.0.0.0", false},     {"::", false},
      {"192.0.2.7", false}, {"2001:db8::1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_loopback_host(c.host), c.loopback) << c.host;
  }
}

}  // namespace
}  // namespace tag_service
