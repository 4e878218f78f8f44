// Bools from the session count by their low byte alone, whatever else a
// library built elsewhere leaves in the return register.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string_view>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

// Raw values a bool slot may return, and the truth korvo must see in each
// (0 and 1 are every other test's).
const struct {
  std::uint32_t raw;
  bool truth;
} kRawBools[] = {
    {2, true},     {0x80, true},   {0xFF, true},
    {0x1FF, true}, {0x100, false}, {0xFFFFFF00, false},
};

std::string digit(bool b) { return b ? "1" : "0"; }

// The fake hands a raw value back from a bool method by returning what an
// assembly routine left in the register. clang's code for such a method
// keeps only the value's lowest bit on the way, so a fake built by clang
// cannot return these values; gcc's builds (the plain one, the package's)
// run these cases.
#if defined(__clang__)
constexpr bool kFakeReturnsRawBools = false;
#else
constexpr bool kFakeReturnsRawBools = true;
#endif
#define SKIP_UNLESS_RAW_BOOLS() \
  if (!kFakeReturnsRawBools)    \
  GTEST_SKIP() << "this compiler's fake cannot return raw bools"

TEST(SessionBool, ListingsPrintZeroOrOne) {
  SKIP_UNLESS_RAW_BOOLS();
  for (const auto& c : kRawBools) {
    SCOPED_TRACE(c.raw);
    const std::string d = digit(c.truth);
    korvo_run run;
    run.scenario = {
        {"formats",
         {{{"id", 1},
           {"enabled", c.raw},
           {"fields", {{{"id", 2}, {"has_value_description", c.raw}}}}}}},
        {"items",
         {{{"id", "I"},
           {"valid", c.raw},
           {"secured", c.raw},
           {"tags",
            {{{"id", "T"}, {"security", c.raw}, {"secured", c.raw}}}}}}}};

    run.args = {"formats", "print"};
    korvo_result r = run_korvo(run);
    EXPECT_EQ(std::regex_replace(r.out, std::regex(R"(\d+ms)"), "Nms"),
              "FormatId=1 IsEnabled=" + d +
                  " Description='' Markets='' Usages='' Ordinal=0\n"
                  "  Id=2 Name='' Type=0 Description='' HasValueDescription=" +
                  d +
                  "\n"
                  "    LongDescription='' Minimum=0 Maximum=0\n"
                  "Elapsed (read): Nms\n"
                  "Item[0]\n"
                  "  Id=I Valid=" +
                  d + " Secured=" + d +
                  " Type=Blank\n"
                  "  FirstSeen=1601/01/01 00:00:00\n"
                  "  Tag[0]\n"
                  "    Id=T Format=0 Type=Blank Secured=" +
                  d + " Security=" + d +
                  "\n"
                  "    FirstSeen=1601/01/01 00:00:00\n");

    run.args = {"formats", "print", "compact"};
    r = run_korvo(run);
    EXPECT_EQ(std::regex_replace(r.out, std::regex(R"(\d+ms)"), "Nms"),
              "FormatId=1/IsEnabled=" + d +
                  "/Description=/Markets=/Usages=/Ordinal=0\n"
                  "/Id=2/Name=/Type=0/Description=/HasValueDescription=" +
                  d +
                  "/LongDescription=/Minimum=0/Maximum=0\n"
                  "Elapsed (read): Nms\n"
                  "ItemID=I/ItemValid=" +
                  d + "/ItemSecured=" + d +
                  "/ItemType=Blank/ItemFirstSeen=16010101000000\n"
                  "/TagId=T/TagFormat=0/TagType=Blank/TagSecured=" +
                  d + "/TagSecurity=" + d + "/TagFirstSeen=16010101000000\n");
  }
}

TEST(SessionBool, OperationsSucceedByTheLowByte) {
  SKIP_UNLESS_RAW_BOOLS();
  // The operations fail with a negative status but return the raw value:
  // korvo goes by the result, so it reports a failure exactly when the low
  // byte is zero.
  const char* const ops[] = {"openService", "connectReader", "writeTag",
                             "setTagSecurity"};
  for (const auto& c : kRawBools) {
    for (const char* op : ops) {
      SCOPED_TRACE(std::string(op) + " " + std::to_string(c.raw));
      korvo_run run;
      run.args = {"write", "D", "set", "T", "print"};
      for (const char* each : ops) {
        // True results: all four in one run; false ones: one at a time.
        if (!c.truth && std::string_view(each) != op) continue;
        run.scenario["fail"][each] = {{"status", -5}, {"message", "m"}};
        run.scenario["returns"][each] = c.raw;
      }
      const korvo_result r = run_korvo(run);
      EXPECT_EQ(r.out.find(": m\n") == std::string::npos, c.truth) << r.out;
      EXPECT_EQ(r.code, c.truth ? 0 : 1);
      if (c.truth) break;
    }
  }
}

TEST(SessionBool, StartedWhateverNonZeroLowByteTheStartReturns) {
  SKIP_UNLESS_RAW_BOOLS();
  // A start that returns true is waited for: what follows the wait comes
  // after the notice.
  const struct {
    const char* start;
    const char* after_wait;  // the fake's log line
  } starts[] = {
      {"writeTagAsync", "release tag NEWTAG"},
      {"setTagSecurityAsync", "readItemsAsync"},
      {"readItemsAsync", "release items"},
  };
  for (const auto& c : kRawBools) {
    if (!c.truth) continue;
    SCOPED_TRACE(c.raw);
    korvo_run run;
    run.args = {"write", "D", "set", "T", "print", "async"};
    for (const auto& op : starts) {
      run.scenario["returns"][op.start] = c.raw;
      run.scenario["async"][op.start] = {{"delivery", "delayed"},
                                         {"delay_ms", 20}};
    }
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 0) << r.out;
    for (const auto& op : starts) {
      const auto notice = std::find(r.log.begin(), r.log.end(),
                                    std::string("notice ") + op.start);
      EXPECT_NE(std::find(notice, r.log.end(), op.after_wait), r.log.end())
          << op.start;
    }
  }
}

}  // namespace
}  // namespace korvo_test
