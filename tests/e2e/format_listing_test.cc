// The tag format listing behind "formats", byte for byte, in both forms.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

const json kFormats = json::parse(R"([
  {"description": "Fmt/1#a\\b%s é", "id": 5, "enabled": true,
   "markets": "EU/US", "ordinal": -2, "usages": "U#1",
   "fields": [
     {"id": 1, "name": "Na/me", "type": 3, "description": "D#1",
      "has_value_description": true,
      "long_description": [76, 32, 92, 32, 37, 100, 32, 55357, 56832],
      "maximum": 2147483647, "minimum": -2147483648},
     {"id": 2, "name": "n2", "type": 0, "description": "",
      "has_value_description": false, "long_description": [55296],
      "maximum": 0, "minimum": 0}]},
  {"description": "no fields", "id": 6, "enabled": false, "markets": "",
   "ordinal": 0, "usages": "", "fields": []}
])");

TEST(FormatListing, BothForms) {
  const std::string readable =
      R"(FormatId=5 IsEnabled=1 Description='Fmt/1#a\b%s é' Markets='EU/US' Usages='U#1' Ordinal=-2
  Id=1 Name='Na/me' Type=3 Description='D#1' HasValueDescription=1
    LongDescription='L \ %d 😀' Minimum=-2147483648 Maximum=2147483647
  Id=2 Name='n2' Type=0 Description='' HasValueDescription=0
    LongDescription=')"
      "\xEF\xBF\xBD"
      R"(' Minimum=0 Maximum=0
FormatId=6 IsEnabled=0 Description='no fields' Markets='' Usages='' Ordinal=0
)";
  const std::string compact =
      R"(FormatId=5/IsEnabled=1/Description=Fmt\/1\#a\b%s é/Markets=EU\/US/Usages=U\#1/Ordinal=-2
/Id=1/Name=Na\/me/Type=3/Description=D\#1/HasValueDescription=1/LongDescription=L \ %d 😀/Minimum=-2147483648/Maximum=2147483647
/Id=2/Name=n2/Type=0/Description=/HasValueDescription=0/LongDescription=)"
      "\xEF\xBF\xBD"
      R"(/Minimum=0/Maximum=0
FormatId=6/IsEnabled=0/Description=no fields/Markets=/Usages=/Ordinal=0
)";
  struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"formats"}, readable},
      {{"formats", "header"}, readable},  // a header needs compact
      {{"formats", "compact"}, compact},
      {{"header", "compact", "formats"}, "# TagFormat file\n" + compact},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = c.args;
    run.scenario = {{"formats", kFormats}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.out, c.want) << c.args.size();
    EXPECT_EQ(r.code, 0);
    // The listing needs no reader.
    EXPECT_EQ(r.calls(),
              (std::vector<std::string>{
                  "create 2", "openService http://127.0.0.1:21645/TagService",
                  "getTagFormats", "closeSession"}));
  }
}

// Empty lists are no error: each listing prints at most its header, and the
// run goes on to the reading.
TEST(FormatListing, EmptyListPrintsAtMostTheHeader) {
  korvo_run run;
  run.scenario = {{"formats", json::array()}, {"items", json::array()}};
  run.args = {"formats", "print", "compact", "header"};
  korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(r.out.rfind("# TagFormat file\nElapsed (read): ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 18), "ms\n# TagData file\n");

  run.args = {"formats", "compact"};
  r = run_korvo(run);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.code, 0);
}

TEST(FormatListing, NoListIsReportedByStatus) {
  struct {
    int status;
    std::string out;
    int code;
    bool reads;  // whether the run goes on to the reading
  } cases[] = {
      {-4, "getTagFormats: no formats\n", 1, false},
      {0, "", 0, true},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = {"formats", "print", "compact", "header"};
    run.scenario = {{"fail",
                     {{"getTagFormats",
                       {{"status", c.status}, {"message", "no formats"}}}}},
                    {"items", json::array()}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, c.code);
    if (c.reads) {
      EXPECT_EQ(r.out.rfind("Elapsed (read): ", 0), 0u) << r.out;
    } else {
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.calls().back(), "closeSession");
      EXPECT_EQ(r.calls()[r.calls().size() - 2], "getTagFormats");
    }
  }
}

// Missing formats and definitions are skipped, a missing definition list
// counts as empty, missing texts print as empty, and each list is walked by
// the count it gives before every step.
TEST(FormatListing, MissingObjectsAndChangingCounts) {
  korvo_run run;
  run.args = {"formats"};
  run.scenario = {{"formats", json::parse(R"({
    "counts": [4, 4, 4, 2],
    "elements": [
      null,
      {"description": null, "markets": null, "usages": null, "fields": null},
      {"id": 7, "fields": {"counts": [2, 3], "elements": [
        null, {"id": 8, "name": null, "description": null,
               "long_description": null}]}},
      {"id": 9}]
  })")}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(
      r.out,
      R"(FormatId=0 IsEnabled=1 Description='' Markets='' Usages='' Ordinal=0
FormatId=7 IsEnabled=1 Description='' Markets='' Usages='' Ordinal=0
  Id=8 Name='' Type=0 Description='' HasValueDescription=0
    LongDescription='' Minimum=0 Maximum=0
)");
}

}  // namespace
}  // namespace korvo_test
