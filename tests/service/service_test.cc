// The service's operations on the simulated reader, in process: reader
// state, tags, validation of requests and the test hooks.
#include "tag_service/service/service.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"

namespace tag_service {
namespace {

using nlohmann::json;

class Service : public ::testing::Test {
 protected:
  Service()
      : sim_(std::make_unique<simulated_reader>(
            load_scene(json::parse(demo_scene_json()), 0))) {}

  service::answer run(const std::string& op, const json& body) {
    return sim_.run(op, body.dump());
  }
  // The message of an error answer; fails the test for a success.
  std::string error_of(const service::answer& a) {
    EXPECT_GE(a.status, 400) << a.body.dump();
    return a.body.value("/error/message"_json_pointer, std::string());
  }

  service sim_;
};

TEST_F(Service, ReaderMustBeConnectedToReadWriteAndSecure) {
  EXPECT_EQ(run("items", json::object()).status, 409);
  const auto created = run("create", {{"data", "1:serial=S"}});
  ASSERT_EQ(created.status, 201);
  const std::string id = created.body["tag"]["id"];
  EXPECT_EQ(run("write", {{"id", id}}).status, 409);
  EXPECT_EQ(run("security", {{"id", id}, {"secure", true}}).status, 409);
  EXPECT_EQ(run("connect", json::object()).status, 200);
  EXPECT_EQ(run("items", json::object()).status, 200);
  EXPECT_EQ(run("disconnect", json::object()).status, 200);
  EXPECT_EQ(error_of(run("items", json::object())),
            "the reader is not connected");
}

TEST_F(Service, WrittenTagJoinsTheFieldOnceUnderItsFreshId) {
  run("connect", json::object());
  const auto a = run("create", {{"data", "3:batch=B1;origin=SE"}});
  const auto b = run("create", {{"data", "3:batch=B2"}});
  const std::string id = a.body["tag"]["id"];
  EXPECT_NE(id, b.body["tag"]["id"]);
  EXPECT_EQ(id.size(), 24u);
  const auto before = run("items", json::object()).body["items"].size();
  const auto written = run("write", {{"id", id}});
  ASSERT_EQ(written.status, 200) << written.body.dump();
  EXPECT_NE(written.body["tag"]["first_seen"], "1601-01-01T00:00:00Z");
  // A tag is written once.
  EXPECT_EQ(run("write", {{"id", id}}).status, 404);
  const json items = run("items", json::object()).body["items"];
  ASSERT_EQ(items.size(), before + 1);
  const json& added = items.back();
  EXPECT_EQ(added["tags"][0]["id"], id);
  EXPECT_EQ(
      added["tags"][0]["values"][1],
      json({{"name", "origin"}, {"value", "SE"}, {"description", "Sverige"}}));
}

TEST_F(Service, SecurityFollowsTheTagAndItsItem) {
  run("connect", json::object());
  // Ids compare with ASCII case folded.
  auto a =
      run("security", {{"id", "e28011700000020a1b2c3d01"}, {"secure", true}});
  ASSERT_EQ(a.status, 200) << a.body.dump();
  json item = run("items", json::object()).body["items"][0];
  EXPECT_TRUE(item["secured"]);
  EXPECT_TRUE(item["tags"][0]["security"]);
  run("security", {{"id", "E28011700000020A1B2C3D01"}, {"secure", false}});
  item = run("items", json::object()).body["items"][0];
  EXPECT_FALSE(item["secured"]);
  EXPECT_EQ(error_of(run("security", {{"id", "NOPE"}, {"secure", true}})),
            "there is no tag 'NOPE' in the field");
}

TEST_F(Service, MalformedRequestsGetClearErrors) {
  struct {
    const char* op;
    std::string body;
    int status;
    const char* message;
  } cases[] = {
      {"create", "", 400, "needs 'data' as a text"},
      {"create", "{", 400, "not valid JSON"},
      {"create", "[1]", 400, "must be a JSON object"},
      {"create", "{\"data\": 5}", 400, "needs 'data' as a text"},
      {"create", "{\"data\": \"1:\", \"x\": 1}", 400, "unknown member 'x'"},
      {"create", "{\"data\": \"\xff\"}", 400, "not valid JSON"},
      {"create", "{\"data\": \"1:serial=\"}", 422, "takes 1 to 24"},
      {"security", "{\"id\": \"T\"}", 400, "needs 'secure' as true or false"},
      {"security", "{\"id\": \"T\", \"secure\": 1}", 400, "'secure'"},
      {"write", "{\"id\": null}", 400, "needs 'id' as a text"},
      {"ping", "{\"a\": 1}", 400, "unknown member 'a'"},
      {"inject", "{\"operation\": \"fly\"}", 400, "must be one of *, ping"},
      {"inject", "{\"operation\": \"items\", \"status\": 200}", 400,
       "0 (no failure) or 400 to 599"},
      {"inject", "{\"operation\": \"items\", \"delay_ms\": 60001}", 400,
       "from 0 to 60000"},
      {"inject", "{\"operation\": \"items\", \"times\": -1}", 400,
       "from 0 to 1000000"},
      {"inject", "{\"operation\": \"items\", \"times\": 18446744073709551615}",
       400, "from 0 to 1000000"},
  };
  for (const auto& c : cases) {
    const auto a = sim_.run(c.op, c.body);
    EXPECT_EQ(a.status, c.status) << c.op << " " << c.body;
    EXPECT_EQ(a.body["error"]["status"], c.status);
    EXPECT_NE(error_of(a).find(c.message), std::string::npos)
        << c.op << " " << c.body << " -> " << a.body.dump();
  }
  // Deep nesting is refused as any other body that is not an object.
  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  EXPECT_EQ(sim_.run("create", deep).status, 400);
}

TEST_F(Service, InjectionsHitTheirOperationTheGivenNumberOfTimes) {
  ASSERT_EQ(run("inject", {{"operation", "connect"},
                           {"status", 503},
                           {"message", "reader jammed"},
                           {"times", 2}})
                .status,
            200);
  EXPECT_EQ(error_of(run("connect", json::object())), "reader jammed");
  EXPECT_EQ(run("ping", json::object()).status, 200);  // other operations run
  EXPECT_EQ(run("connect", json::object()).status, 503);
  EXPECT_EQ(run("connect", json::object()).status, 200);

  // "*" hits every operation until cleared; one of its own wins over it.
  run("inject", {{"operation", "*"}, {"status", 500}, {"times", 0}});
  run("inject", {{"operation", "ping"}, {"status", 418}});
  EXPECT_EQ(run("ping", json::object()).status, 418);
  EXPECT_EQ(run("formats", json::object()).status, 500);
  EXPECT_EQ(run("formats", json::object()).status, 500);
  EXPECT_EQ(run("clear", json::object()).body["cleared"], 1);
  EXPECT_EQ(run("formats", json::object()).status, 200);

  const json calls = run("state", json::object()).body["calls"];
  EXPECT_EQ(calls["connect"], 3);
  EXPECT_EQ(calls["formats"], 3);
}

TEST_F(Service, InjectedDelayEndsAtShutDown) {
  run("inject", {{"operation", "ping"}, {"delay_ms", 60000}});
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim_.shut_down();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run("ping", json::object()).status, 200);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

// A reader that is not the simulated one: offline for everything but its
// formats.
class offline_reader final : public reader {
 public:
  std::vector<tag_format> formats() override { return {tag_format{}}; }
  bool set_connected(bool) override { throw offline(); }
  std::vector<item> items() override { throw offline(); }
  tag create_tag(std::string_view) override { throw offline(); }
  written_tag write_tag(const std::string&) override { throw offline(); }
  tag set_security(const std::string&, bool) override { throw offline(); }
  reader_status status() override { return {}; }

 private:
  static reader_error offline() { return {503, "the reader is offline"}; }
};

TEST(ServiceOnAnyReader, ReaderFailuresBecomeErrorAnswers) {
  service sim(std::make_unique<offline_reader>());
  EXPECT_EQ(sim.run("formats", "").body["formats"].size(), 1u);
  for (const auto& [op, body] :
       {std::pair{"connect", ""}, std::pair{"items", ""},
        std::pair{"create", R"({"data": "1:a=b"})"},
        std::pair{"write", R"({"id": "T"})"},
        std::pair{"security", R"({"id": "T", "secure": true})"}}) {
    const auto a = sim.run(op, body);
    EXPECT_EQ(a.status, 503) << op;
    EXPECT_EQ(a.body["error"]["message"], "the reader is offline") << op;
  }
  // The request is checked before the reader is asked.
  EXPECT_EQ(sim.run("write", "{}").status, 400);
}

TEST(Printable, KeepsValidUtf8AndReplacesTheRest) {
  EXPECT_EQ(printable("a\xC3\xA9\xE6\x97\xA5"), "a\xC3\xA9\xE6\x97\xA5");
  EXPECT_EQ(printable("a\nb\x7F\xFF\xC3"), "a?b???");
  EXPECT_EQ(printable("\xED\xA0\x80"), "???");  // a surrogate
  EXPECT_EQ(printable("\xC0\xAF"), "??");       // overlong
  EXPECT_EQ(printable("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
}

}  // namespace
}  // namespace tag_service
