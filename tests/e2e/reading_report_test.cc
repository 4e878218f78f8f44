// The reading report behind "print", byte for byte, in both forms.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

// Runs korvo with args and the scenario; returns what follows the reading's
// elapsed-time line, which must come first.
std::string report_of(std::vector<std::string> args, const json& scenario) {
  korvo_run run;
  run.args = std::move(args);
  run.scenario = scenario;
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  const std::string prefix = "Elapsed (read): ";
  const std::size_t end = r.out.find("ms\n");
  if (r.out.rfind(prefix, 0) != 0 || end == std::string::npos) {
    ADD_FAILURE() << "no elapsed-time line first: " << r.out;
    return r.out;
  }
  return r.out.substr(end + 3);
}

// Texts with the compact separators, a backslash, a percent sign, letters
// outside ASCII, a character outside the BMP as a surrogate pair and a lone
// surrogate; extreme numbers and FILETIMEs.
const json kReading = json::parse(R"([
  {"first_seen": 116444736000000000, "valid": true, "secured": false,
   "id": "IT/1#x\\y%s", "type": 2,
   "tags": [
     {"first_seen": 133536836960000000, "id": "E2001", "security": true,
      "secured": false, "format": 7, "type": 4,
      "values": [
        {"name": "Na/me#", "value": "v/1#2\\3%d", "description": "d/e#s\\"},
        {"name": "empty", "value": "", "description": ""},
        {"name": "none", "value": "x"}]},
     {"id": "E2002", "format": -3, "type": 12, "secured": true}]},
  {"first_seen": 9223372036854775808, "valid": false, "secured": true,
   "id": "é", "type": 9,
   "tags": [
     {"first_seen": 9223372036854775807, "id": "É1", "type": -1,
      "format": 2147483647,
      "values": [{"name": "ü", "value": [55357, 56832],
                  "description": [65, 56320, 66]}]}]}
])");

TEST(ReadingReport, ReadableForm) {
  EXPECT_EQ(report_of({"print"}, {{"items", kReading}}),
            R"(Item[0]
  Id=IT/1#x\y%s Valid=1 Secured=0 Type=Equipment
  FirstSeen=1970/01/01 00:00:00
  Tag[0]
    Id=E2001 Format=7 Type=Item Secured=0 Security=1
    FirstSeen=2024/02/29 12:34:56
    Na/me#=v/1#2\3%d (d/e#s\)
    empty=
    none=x
  Tag[1]
    Id=E2002 Format=-3 Type=12 Secured=1 Security=0
    FirstSeen=1601/01/01 00:00:00
Item[1]
  Id=é Valid=0 Secured=1 Type=Unknown
  FirstSeen=0000/00/00 00:00:00
  Tag[0]
    Id=É1 Format=2147483647 Type=-1 Secured=0 Security=0
    FirstSeen=30828/09/14 02:48:05
    ü=😀 (A)"
            "\xEF\xBF\xBD"
            R"(B)
)");
}

TEST(ReadingReport, CompactFormEscapesValuesButNotNames) {
  const std::string body =
      R"(ItemID=IT\/1\#x\y%s/ItemValid=1/ItemSecured=0/ItemType=Equipment/ItemFirstSeen=19700101000000
/TagId=E2001/TagFormat=7/TagType=Item/TagSecured=0/TagSecurity=1/TagFirstSeen=20240229123456/Na/me#=v\/1\#2\3%d#d\/e\#s\/empty=/none=x
/TagId=E2002/TagFormat=-3/TagType=12/TagSecured=1/TagSecurity=0/TagFirstSeen=16010101000000
ItemID=é/ItemValid=0/ItemSecured=1/ItemType=Unknown/ItemFirstSeen=00000000000000
/TagId=É1/TagFormat=2147483647/TagType=-1/TagSecured=0/TagSecurity=0/TagFirstSeen=308280914024805/ü=😀#A)"
      "\xEF\xBF\xBD"
      "B\n";
  const json scenario = {{"items", kReading}};
  EXPECT_EQ(report_of({"print", "compact"}, scenario), body);
  EXPECT_EQ(report_of({"header", "print", "compact"}, scenario),
            "# TagData file\n" + body);
}

TEST(ReadingReport, EmptyReadingPrintsAtMostTheHeader) {
  const json scenario = {{"items", json::array()}};
  EXPECT_EQ(report_of({"print"}, scenario), "");
  EXPECT_EQ(report_of({"print", "header"}, scenario), "");  // needs compact
  EXPECT_EQ(report_of({"print", "compact"}, scenario), "");
  EXPECT_EQ(report_of({"print", "compact", "header"}, scenario),
            "# TagData file\n");
}

std::string item_line(const std::string& id) {
  return "ItemID=" + id +
         "/ItemValid=1/ItemSecured=0/ItemType=Blank/"
         "ItemFirstSeen=16010101000000\n";
}

std::string tag_line(const std::string& id, int format) {
  return "/TagId=" + id + "/TagFormat=" + std::to_string(format) +
         "/TagType=Blank/TagSecured=0/TagSecurity=0/"
         "TagFirstSeen=16010101000000\n";
}

const json kFilterReading = json::parse(R"([
  {"id": "I0", "tags": [{"id": "A1", "format": 1}, {"id": "B1", "format": 2}]},
  {"id": "I1", "tags": [{"id": "B1", "format": 3}]},
  {"id": "I2", "tags": null},
  {"id": "I3", "tags": [{"id": "a1", "format": 4}, null,
                        {"id": "A1", "format": 5}, {"id": null}]},
  {"id": "I4", "tags": [{"id": "É1", "format": 6}]},
  {"id": "I5", "tags": [{"id": "A1 ", "format": 7}, {"id": "A", "format": 8}]}
])");

TEST(ReadingReport, FilterPrintsTheLastMatchingTagOfEachItem) {
  struct {
    std::string filter;
    std::string want;
  } cases[] = {
      // Letter case folds for A to Z; the later of two matches in I3 wins.
      {"a1", item_line("I0") + tag_line("A1", 1) + item_line("I3") +
                 tag_line("A1", 5)},
      {"b1", item_line("I0") + tag_line("B1", 2) + item_line("I1") +
                 tag_line("B1", 3)},
      {"É1", item_line("I4") + tag_line("É1", 6)},
      {"é1", ""},  // letters outside A to Z compare exactly
      {"A1 ", item_line("I5") + tag_line("A1 ", 7)},
      {"zzz", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(report_of({"print", "compact", "flt", c.filter},
                        {{"items", kFilterReading}}),
              c.want)
        << c.filter;
  }
}

TEST(ReadingReport, FilteredNumbersKeepTheirGaps) {
  EXPECT_EQ(report_of({"flt", "A1", "print"}, {{"items", kFilterReading}}),
            R"(Item[0]
  Id=I0 Valid=1 Secured=0 Type=Blank
  FirstSeen=1601/01/01 00:00:00
  Tag[0]
    Id=A1 Format=1 Type=Blank Secured=0 Security=0
    FirstSeen=1601/01/01 00:00:00
Item[3]
  Id=I3 Valid=1 Secured=0 Type=Blank
  FirstSeen=1601/01/01 00:00:00
  Tag[2]
    Id=A1 Format=5 Type=Blank Secured=0 Security=0
    FirstSeen=1601/01/01 00:00:00
)");
}

// A session that leaves out objects and texts: missing texts print as empty,
// missing lists count as empty, missing elements are skipped (the numbers
// keep their gaps) and a missing FILETIME prints as zeros.
TEST(ReadingReport, MissingObjectsAndTextsDoNotCrash) {
  const json scenario = {{"items", json::parse(R"([
    null,
    {"id": null, "first_seen": null, "type": 10, "tags": null},
    {"id": "I2", "tags": [
      null,
      {"id": null, "first_seen": null, "type": -7, "values": null},
      {"id": "T2", "values": [null, {"name": null, "value": null,
                                     "description": null},
                              {"name": "n", "value": "v",
                               "description": null}]}]}
  ])")}};
  EXPECT_EQ(report_of({"print"}, scenario), R"(Item[1]
  Id= Valid=1 Secured=0 Type=10
  FirstSeen=0000/00/00 00:00:00
Item[2]
  Id=I2 Valid=1 Secured=0 Type=Blank
  FirstSeen=1601/01/01 00:00:00
  Tag[1]
    Id= Format=0 Type=-7 Secured=0 Security=0
    FirstSeen=0000/00/00 00:00:00
  Tag[2]
    Id=T2 Format=0 Type=Blank Secured=0 Security=0
    FirstSeen=1601/01/01 00:00:00
    =
    n=v
)");
  EXPECT_EQ(report_of({"print", "compact"}, scenario),
            "ItemID=/ItemValid=1/ItemSecured=0/ItemType=10/"
            "ItemFirstSeen=00000000000000\n" +
                item_line("I2") +
                "/TagId=/TagFormat=0/TagType=-7/TagSecured=0/TagSecurity=0/"
                "TagFirstSeen=00000000000000\n"
                "/TagId=T2/TagFormat=0/TagType=Blank/TagSecured=0/"
                "TagSecurity=0/TagFirstSeen=16010101000000/=/n=v\n");
}

// Every loop asks for its count before each step: the items shrink to one
// after the first, the tags grow past their elements, the values shrink.
TEST(ReadingReport, ListsAreWalkedByTheirLatestCount) {
  const json scenario = {{"items", json::parse(R"({
    "counts": [3, 1],
    "elements": [
      {"id": "I0", "tags": {"counts": [1, 3], "elements": [
        {"id": "T0", "values": {"counts": [2, 0], "elements": [
          {"name": "a", "value": "1"}, {"name": "b", "value": "2"}]}},
        {"id": "T1"}]}},
      {"id": "I1"},
      {"id": "I2"}]
  })")}};
  EXPECT_EQ(report_of({"print", "compact"}, scenario),
            item_line("I0") +
                "/TagId=T0/TagFormat=0/TagType=Blank/"
                "TagSecured=0/TagSecurity=0/"
                "TagFirstSeen=16010101000000/a=1\n" +
                tag_line("T1", 0));
}

TEST(ReadingReport, ListIsReleasedOnceAfterPrinting) {
  korvo_run run;
  run.args = {"print", "compact"};
  run.scenario = {{"items", kReading}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(
      r.calls(),
      (std::vector<std::string>{
          "create 2", "openService http://127.0.0.1:21645/TagService",
          "connectReader", "readItems", "release items", "closeSession"}));
}

}  // namespace
}  // namespace korvo_test
