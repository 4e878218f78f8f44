// The command line seen from outside: usage text, exit code 2, and that
// nothing is loaded when there is no work.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

// The usage text as korvo must print it, byte for byte.
std::string expected_usage() {
  std::ifstream in(KORVO_USAGE_FILE, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CommandLine, NoWorkPrintsUsageAndLoadsNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"print", "bogus"},
      {"print", "host"},
      {"host", "print"},
      {"compact", "header"},
      {"heap", "disconnect", "pause", "async", "flt", "x", "addr", "y"},
      {"bogus", "print"},
      {"print", "write"},
  };
  const std::string usage = expected_usage();
  ASSERT_FALSE(usage.empty());
  for (const auto& args : cases) {
    korvo_run run;
    run.args = args;
    run.library.clear();
    // Arguments after a stop are not looked at, so this "dll" never counts.
    run.args.push_back("dll");
    run.args.push_back(FAKE_SESSION_LIBRARY);
    if (args.size() == 2 && args[1] == "host") run.args.resize(2);
    if (args.size() == 2 && args[1] == "write") run.args.resize(2);
    const korvo_result r = run_korvo(run);
    std::string joined;
    for (const auto& a : run.args) joined += a + " ";
    EXPECT_EQ(r.out, usage) << joined;
    EXPECT_EQ(r.code, 2) << joined;
    EXPECT_TRUE(r.log.empty()) << joined;  // the fake was never loaded
  }
}

TEST(CommandLine, KeywordsFoldAsciiCase) {
  korvo_run run;
  run.args = {"PRINT", "DiSconnect"};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.calls(),
            (std::vector<std::string>{
                "create 2", "openService http://127.0.0.1:21645/TagService",
                "connectReader", "readItems", "release items",
                "disconnectReader", "closeSession"}));
}

TEST(CommandLine, LastOfSetAndClrWins) {
  korvo_run run;
  run.args = {"set", "A1", "clr", "B2"};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(std::find(r.log.begin(), r.log.end(), "setTagSecurity B2 0"),
            r.log.end());
  EXPECT_EQ(r.out.find("A1"), std::string::npos);
}

TEST(CommandLine, EmptyValuesArePresent) {
  korvo_run run;
  run.args = {"write", "", "addr", ""};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  const std::vector<std::string> want = {
      "create 2",        "openService ",       "connectReader", "createTag ",
      "writeTag NEWTAG", "release tag NEWTAG", "closeSession"};
  EXPECT_EQ(r.calls(), want);
}

TEST(CommandLine, InvalidUtf8ArgumentsSurviveAsReplacementCharacters) {
  korvo_run run;
  run.args = {"set", "T\xFF\xC3", "print"};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(
      std::find(r.log.begin(), r.log.end(), "setTagSecurity T\\ufffd\\ufffd 1"),
      r.log.end());
}

}  // namespace
}  // namespace korvo_test
