// korvo with our session library against the tag service and its
// simulated reader.
//
// Until the listings are in this build, korvo's "formats" prints nothing and
// "print" only its elapsed time; the tests here check what does not depend
// on them (exit codes, the written and security lines, error lines, what
// reached the service). Checks of the listings' content are in the
// Listings tests, which skip themselves while the listings are missing.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/integration/service_process.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

constexpr const char kDemoTag[] = "E28011700000020A1B2C3D01";

struct timed_result {
  korvo_result r;
  double seconds = 0;
};

// Runs korvo with "addr <url>" and our library.
timed_result korvo_at(const std::string& url, std::vector<std::string> args) {
  korvo_run run;
  run.args = std::move(args);
  run.args.push_back("addr");
  run.args.push_back(url);
  run.library = RFID_QEL_LIBRARY;
  run.timeout_ms = 30000;
  const auto t0 = clock_type::now();
  timed_result t{run_korvo(run)};
  t.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
  return t;
}

timed_result korvo(service_process& svc, std::vector<std::string> args) {
  return korvo_at(svc.url(), std::move(args));
}

bool has(const std::string& out, const std::string& text) {
  return out.find(text) != std::string::npos;
}

// The id in "Tag '<id>' written.", or "" when the line is missing.
std::string written_id(const std::string& out) {
  static const std::regex line("(^|\n)Tag '([0-9A-F]{24})' written\\.\n");
  std::smatch m;
  return std::regex_search(out, m, line) ? m[2].str() : "";
}

TEST(KorvoAgainstService, FormatsAndPrintInBothForms) {
  service_process svc;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"formats", "print"}, {"formats", "print", "compact", "header"}}) {
    const auto t = korvo(svc, args);
    EXPECT_EQ(t.r.code, 0) << t.r.out;
    EXPECT_TRUE(has(t.r.out, "Elapsed (read): ")) << t.r.out;
    EXPECT_FALSE(has(t.r.out, ": the tag service")) << t.r.out;
  }
  const json calls = svc.state()["calls"];
  EXPECT_EQ(calls["ping"], 2);
  EXPECT_EQ(calls["connect"], 2);
  EXPECT_EQ(calls["items"], 2);
}

TEST(KorvoAgainstService, WrittenTagIsTheServicesAndTheReadingFollowsIt) {
  service_process svc;
  for (bool async : {false, true}) {
    std::vector<std::string> args = {"write",
                                     "1:serial=SN-2024-0042;owner=Jürgen "
                                     "Weiß;status=M",
                                     "print", "compact", "heap"};
    if (async) args.push_back("async");
    const auto t = korvo(svc, args);
    EXPECT_EQ(t.r.code, 0) << t.r.out;
    const std::string id = written_id(t.r.out);
    ASSERT_FALSE(id.empty()) << t.r.out;
    EXPECT_TRUE(has(t.r.out, "Elapsed (write): ")) << t.r.out;
    EXPECT_TRUE(has(t.r.out, "Elapsed (read): ")) << t.r.out;
    // Nothing is held once the reading and the tag are released.
    EXPECT_TRUE(has(t.r.out, "HEAP_PROPERTY_ACTUAL_SIZE=0\n")) << t.r.out;
    const json tag = svc.find_tag(id);
    ASSERT_TRUE(tag.is_object()) << id << " is not in the field";
    EXPECT_EQ(tag["format"], 1);
    EXPECT_EQ(tag["values"][1]["value"], "Jürgen Weiß");
    EXPECT_EQ(tag["values"][2]["description"], "In maintenance");
  }
  EXPECT_EQ(svc.state()["items"], 14);
}

TEST(KorvoAgainstService, SetAndClearSecurityReachTheField) {
  service_process svc;
  struct {
    std::vector<std::string> args;
    const char* line;
    bool secured;
  } cases[] = {
      {{"set", kDemoTag, "print"}, "security set.", true},
      {{"clr", kDemoTag, "print"}, "security cleared.", false},
      {{"async", "set", kDemoTag, "print"}, "security set.", true},
      {{"clr", kDemoTag, "async", "print"}, "security cleared.", false},
      // The service folds ASCII case, as korvo's filter does.
      {{"set", "e28011700000020a1b2c3d01"}, "security set.", true},
  };
  for (const auto& c : cases) {
    const auto t = korvo(svc, c.args);
    EXPECT_EQ(t.r.code, 0) << t.r.out;
    const std::string id = c.args[c.args[0] == "async" ? 2 : 1];
    EXPECT_TRUE(has(t.r.out, "Tag '" + id + "' " + c.line + "\n")) << t.r.out;
    EXPECT_TRUE(has(t.r.out, "Elapsed (secure): ")) << t.r.out;
    EXPECT_EQ(svc.find_tag(kDemoTag)["secured"], c.secured) << t.r.out;
  }
}

TEST(KorvoAgainstService, BadWriteDataAndUnknownTagsAreClearErrors) {
  service_process svc;
  struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"write", "1:colour=red", "print"},
       "createTag: the tag service at " + svc.url("/tags") +
           " answered 422: write data: format 1 has no field 'colour' (its "
           "fields: serial, owner, status, service_due)\n"},
      {{"write", "", "print"},
       "createTag: the tag service at " + svc.url("/tags") +
           " answered 422: write data must start with a format id and ':', "
           "as in FORMAT:field=value;field=value\n"},
      {{"set", "E2NOPE", "print"},
       "setTagSecurity: the tag service at " + svc.url("/tags/security") +
           " answered 404: there is no tag 'E2NOPE' in the field\n"},
  };
  for (const auto& c : cases) {
    const auto t = korvo(svc, c.args);
    EXPECT_EQ(t.r.code, 1) << t.r.out;
    EXPECT_TRUE(has(t.r.out, c.line)) << t.r.out;
    EXPECT_FALSE(has(t.r.out, "Elapsed (read)")) << t.r.out;
  }
  EXPECT_EQ(svc.state()["items"], 12);
}

TEST(KorvoAgainstService, AbsentServiceIsAClearQuickError) {
  const int port = unused_port();
  const std::string url =
      "http://127.0.0.1:" + std::to_string(port) + "/TagService";
  const auto t = korvo_at(url, {"formats", "print", "heap", "disconnect"});
  EXPECT_EQ(t.r.out, "openService: cannot connect to the tag service at " +
                         url + "/ping\nHEAP_PROPERTY_ACTUAL_SIZE=0\n");
  EXPECT_EQ(t.r.code, 1);
  EXPECT_LT(t.seconds, 5);
}

TEST(KorvoAgainstService, ServiceThatStopsAnsweringTimesOut) {
  service_process svc;
  svc.freeze();
  const auto t = korvo_at(svc.url("?timeout_ms=400"), {"print", "disconnect"});
  svc.thaw();
  EXPECT_EQ(t.r.out, "openService: the tag service at " + svc.url("/ping") +
                         " did not answer within 400 ms\n");
  EXPECT_EQ(t.r.code, 1);
  EXPECT_LT(t.seconds, 5);
}

TEST(KorvoAgainstService, ServiceThatStopsAnsweringMidRunTimesOut) {
  service_process svc;
  svc.inject({{"operation", "items"}, {"delay_ms", 5000}});
  const auto t = korvo_at(svc.url("?timeout_ms=300"), {"print", "heap"});
  EXPECT_TRUE(has(t.r.out, "readItems: the tag service at " +
                               svc.url("/items") +
                               " did not answer within 300 ms\n"))
      << t.r.out;
  EXPECT_EQ(t.r.code, 1);
  EXPECT_LT(t.seconds, 4);
}

// With the session's own limits: one wait of about five seconds.
TEST(KorvoAgainstService, FrozenServiceNeverHangsKorvoWithDefaultLimits) {
  service_process svc;
  svc.freeze();
  const auto t = korvo(svc, {"print"});
  svc.thaw();
  EXPECT_EQ(t.r.out, "openService: the tag service at " + svc.url("/ping") +
                         " did not answer within 5000 ms\n");
  EXPECT_EQ(t.r.code, 1);
  EXPECT_LT(t.seconds, 15);
}

TEST(KorvoAgainstService, DefaultUrlNeverHangs) {
  // Whatever listens on the default port (usually nothing), the run ends.
  korvo_run run;
  run.args = {"formats"};
  run.library = RFID_QEL_LIBRARY;
  run.timeout_ms = 20000;
  const korvo_result r = run_korvo(run);
  EXPECT_TRUE(r.code == 0 || r.code == 1) << r.out;
  if (r.code == 1) {
    EXPECT_TRUE(has(r.out, "http://127.0.0.1:21645/TagService/ping")) << r.out;
  }
}

TEST(KorvoAgainstService, InjectedFailureAtEachOperationIsReported) {
  struct {
    const char* op;
    std::vector<std::string> args;
    const char* label;
    const char* path;
  } cases[] = {
      {"ping", {"print"}, "openService", "/ping"},
      {"connect", {"print"}, "connectReader", "/reader/connect"},
      {"items", {"print"}, "readItems", "/items"},
      {"create", {"write", "2:title=T"}, "createTag", "/tags"},
      {"write", {"write", "2:title=T"}, "writeTag", "/tags/write"},
      {"security", {"clr", kDemoTag}, "setTagSecurity", "/tags/security"},
  };
  service_process svc;
  for (const auto& c : cases) {
    const std::string message = std::string("reader jammed in ") + c.op;
    svc.inject({{"operation", c.op}, {"status", 503}, {"message", message}});
    const auto t = korvo(svc, c.args);
    EXPECT_TRUE(has(t.r.out, std::string(c.label) + ": the tag service at " +
                                 svc.url(c.path) + " answered 503: " + message +
                                 "\n"))
        << c.op << ": " << t.r.out;
    EXPECT_EQ(t.r.code, 1) << c.op;
  }
  // Asynchronous runs report the same failure; whether under the
  // operation's label or its notice's depends on the completion.
  for (const auto& c : cases) {
    if (std::string(c.op) == "ping" || std::string(c.op) == "connect") continue;
    const std::string message = std::string("async jam in ") + c.op;
    svc.inject({{"operation", c.op}, {"status", 500}, {"message", message}});
    std::vector<std::string> args = c.args;
    args.push_back("async");
    const auto t = korvo(svc, args);
    EXPECT_TRUE(has(t.r.out, ": the tag service at " + svc.url(c.path) +
                                 " answered 500: " + message + "\n"))
        << c.op << ": " << t.r.out;
  }
  // A failed disconnect is nobody's business but the service's.
  svc.inject({{"operation", "disconnect"}, {"status", 500}});
  const auto t = korvo(svc, {"print", "disconnect"});
  EXPECT_EQ(t.r.code, 0) << t.r.out;
  EXPECT_EQ(svc.state()["calls"]["disconnect"], 1);
}

TEST(KorvoAgainstService, FieldFileReplacesTheDemoField) {
  const std::string dir = make_temp_dir();
  const std::string file = dir + "/field.json";
  const json field = {
      {"formats",
       {{{"id", 7},
         {"description", "Crate"},
         {"fields", {{{"name", "lot"}, {"maximum", 8}}}}}}},
      {"items",
       {{{"id", "CRATE-1"},
         {"tags",
          {{{"id", "AB01"},
            {"format", 7},
            {"values", {{{"name", "lot"}, {"value", "7/8"}}}}}}}}}}};
  std::ofstream(file) << field.dump();
  service_process svc({"--field", file});
  const auto t = korvo(svc, {"write", "7:lot=L2", "set", "ab01", "print"});
  EXPECT_EQ(t.r.code, 0) << t.r.out;
  EXPECT_TRUE(has(t.r.out, "Tag 'ab01' security set.\n")) << t.r.out;
  const json items = svc.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["id"], "CRATE-1");
  EXPECT_TRUE(items[0]["secured"]);
  EXPECT_EQ(items[1]["tags"][0]["id"], written_id(t.r.out));
}

// The listings' content: these run once the listings are in the build.
class Listings : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto probe = korvo(svc_, {"formats", "print", "compact"});
    if (!has(probe.r.out, "FormatId=") || !has(probe.r.out, "ItemID=")) {
      GTEST_SKIP() << "the listings are not in this korvo build yet";
    }
  }
  service_process svc_;
};

TEST_F(Listings, ShowTheDemoFieldInBothForms) {
  const auto readable = korvo(svc_, {"formats", "print"});
  const auto compact = korvo(svc_, {"formats", "print", "compact", "header"});
  for (const auto* t : {&readable, &compact}) {
    EXPECT_EQ(t->r.code, 0);
    for (const char* text :
         {"Cold-chain pallet", "max_temp", "E2806894000040011A2B3C02",
          "PALLET-SSCC-00312", "東京倉庫-07", "日本", "Zoë Ångström"}) {
      EXPECT_TRUE(has(t->r.out, text)) << text << "\n" << t->r.out;
    }
  }
  EXPECT_TRUE(has(readable.r.out, "Description='Cold-chain pallet'"));
  EXPECT_TRUE(has(readable.r.out, "owner=Zürich/Öst #3"));
  EXPECT_TRUE(has(compact.r.out, "# TagFormat file\n"));
  EXPECT_TRUE(has(compact.r.out, "# TagData file\n"));
  EXPECT_TRUE(has(compact.r.out, "/owner=Zürich\\/Öst \\#3"));
  EXPECT_TRUE(has(compact.r.out, "TagId=E28011700000020A1B2C3D02"));
}

TEST_F(Listings, ReadingAfterAWriteShowsOnlyTheNewTag) {
  const auto t =
      korvo(svc_, {"write", "3:batch=B-77;origin=SE", "print", "compact"});
  const std::string id = written_id(t.r.out);
  ASSERT_FALSE(id.empty()) << t.r.out;
  EXPECT_TRUE(has(t.r.out, "/TagId=" + id + "/TagFormat=3/")) << t.r.out;
  EXPECT_TRUE(has(t.r.out, "/origin=SE#Sverige")) << t.r.out;
  std::size_t tags = 0;
  for (std::size_t p = 0; (p = t.r.out.find("/TagId=", p)) != std::string::npos;
       ++p) {
    ++tags;
  }
  EXPECT_EQ(tags, 1u) << t.r.out;
}

TEST_F(Listings, InjectedFormatFailureIsReported) {
  svc_.inject({{"operation", "formats"}, {"status", 503}, {"message", "busy"}});
  const auto t = korvo(svc_, {"formats", "print"});
  EXPECT_EQ(t.r.out, "getTagFormats: the tag service at " +
                         svc_.url("/formats") + " answered 503: busy\n");
  EXPECT_EQ(t.r.code, 1);
}

}  // namespace
}  // namespace korvo_test
