// korvo, our session library and tag-service --reader against the reader
// emulator: the formats, the reading, writing and security on "real" tags,
// and a reader that fails.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/integration/service_process.h"
#include "tests/llrp/emulator_process.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

const char kTagA[] = "3074257BF7194E4000001A85";  // sgtin 0614141.812345.6789
const char kTagB[] = "3178000010004A00000003E8";
const char kPassword[] = "1234ABCD";

korvo_result korvo_on(service_process& svc, std::vector<std::string> args) {
  korvo_run run;
  run.args = std::move(args);
  run.args.push_back("addr");
  run.args.push_back(svc.url());
  run.library = RFID_QEL_LIBRARY;
  run.timeout_ms = 20000;
  return run_korvo(run);
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = 8000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

class ReaderGateway : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = emulator_missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    char dir_template[] = "/tmp/korvo-gateway-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    std::ofstream(dir_ / "password") << kPassword << "\n";
    emulator_ = std::make_unique<emulator_process>();
    ASSERT_GT(emulator_->port(), 0) << emulator_->error();
    set_tags({kTagA});
    service_ = std::make_unique<service_process>(
        std::vector<std::string>{
            "--reader", emulator_->url(), "--hold-ms", "600",
            "--access-password-file", (dir_ / "password").string(),
            "--state-file", (dir_ / "state.json").string(), "--log"},
        (dir_ / "service.log").string());
    // Ready once the reader link is up: the reading no longer fails.
    ASSERT_TRUE(eventually([&] {
      return service_->request("POST", "/reader/connect").status == 200;
    }));
  }
  void TearDown() override {
    service_.reset();
    emulator_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void set_tags(const std::vector<std::string>& epcs) {
    json tags = json::array();
    int antenna = 1;
    for (const auto& e : epcs)
      tags.push_back({{"epc", e}, {"antenna", antenna++}});
    ASSERT_EQ(emulator_->command({{"cmd", "tags"}, {"tags", tags}})["ok"],
              true);
    std::this_thread::sleep_for(700ms);  // the old ones leave the field
  }
  json emulated_tag(std::size_t i) { return emulator_->state()["tags"][i]; }

  std::filesystem::path dir_;
  std::unique_ptr<emulator_process> emulator_;
  std::unique_ptr<service_process> service_;
};

TEST_F(ReaderGateway, FormatsAndReadingShowDecodedTags) {
  // The third tag's EPC memory holds no EPC: shown, and the rest with it.
  set_tags({kTagA, kTagB, ""});
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {{"formats"}, {"SGTIN-96", "company_prefix"}, {}},
      {{"print"},
       {kTagA, kTagB, "0614141", "urn:epc:id:sgtin:0614141.812345.6789",
        "urn:epc:raw:0.x"},
       {}},
      {{"print", "compact", "flt", kTagB}, {kTagB}, {kTagA}},
      {{"print", "async", "flt", "3074257bf7194e4000001a85"}, {kTagA}, {kTagB}},
  };
  for (const auto& c : cases) {
    const korvo_result r = korvo_on(*service_, c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.code, 0) << what << r.out << r.err;
    for (const auto& p : c.present)
      EXPECT_TRUE(has(r.out, p)) << what << " lacks " << p << ":\n" << r.out;
    for (const auto& a : c.absent)
      EXPECT_FALSE(has(r.out, a)) << what << " has " << a;
  }
  // The log has the reader's events beside the requests, and never the
  // access password.
  std::ifstream in(dir_ / "service.log");
  const std::string log((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
  EXPECT_TRUE(has(log, " event=reader message=\"reader llrp://")) << log;
  EXPECT_TRUE(has(log, ": connected")) << log;
  EXPECT_TRUE(has(log, " method=GET path=/TagService/items status=200 "))
      << log;
  EXPECT_FALSE(has(log, kPassword)) << log;
}

TEST_F(ReaderGateway, WriteCommissionsTheOneTagInTheField) {
  const struct {
    const char* serial;
    bool async;
  } cases[] = {{"7000", false}, {"7001", true}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {
        "write", std::string("48:filter=3;company_prefix=0614141;item_"
                             "reference=812345;serial=") +
                     c.serial};
    if (c.async) args.push_back("async");
    const korvo_result r = korvo_on(*service_, args);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    const std::string epc = emulated_tag(0)["epc"];
    EXPECT_TRUE(has(r.out, "Tag '" + epc + "' written.")) << r.out;
    EXPECT_NE(epc, kTagA);
  }
  set_tags({kTagA, kTagB});
  const korvo_result two = korvo_on(
      *service_,
      {"write",
       "48:filter=3;company_prefix=0614141;item_reference=812345;serial=1"});
  EXPECT_EQ(two.code, 1);
  EXPECT_TRUE(has(two.out + two.err, "exactly one tag")) << two.out << two.err;
  EXPECT_TRUE(has(two.out + two.err, "sees 2")) << two.out << two.err;
  EXPECT_EQ(emulated_tag(0)["epc"], kTagA);  // nothing written
}

TEST_F(ReaderGateway, SecurityLocksTheTagAndSurvivesARestart) {
  const struct {
    const char* keyword;
    bool async;
    bool locked;
  } cases[] = {{"set", false, true}, {"clr", true, false}, {"set", true, true}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {c.keyword, kTagA};
    if (c.async) args.push_back("async");
    const korvo_result r = korvo_on(*service_, args);
    EXPECT_EQ(r.code, 0) << c.keyword << r.out << r.err;
    const json t = emulated_tag(0);
    EXPECT_EQ(t["epc_locked"], c.locked) << c.keyword << t.dump();
    EXPECT_EQ(t["access_password"], "1234ABCD") << t.dump();
  }
  // The tag is locked: a write without clearing it fails, and says why.
  const korvo_result locked = korvo_on(
      *service_,
      {"write",
       "48:filter=3;company_prefix=0614141;item_reference=812345;serial=2"});
  EXPECT_EQ(locked.code, 1);
  EXPECT_TRUE(has(locked.out + locked.err, "security is set"))
      << locked.out << locked.err;

  // A new service reads the state file: the tag is still shown secured.
  std::ifstream state(dir_ / "state.json");
  EXPECT_TRUE(
      has(std::string(std::istreambuf_iterator<char>(state), {}), kTagA));
  service_ = std::make_unique<service_process>(std::vector<std::string>{
      "--reader", emulator_->url(), "--access-password-file",
      (dir_ / "password").string(), "--state-file",
      (dir_ / "state.json").string()});
  ASSERT_TRUE(eventually([&] {
    return service_->request("POST", "/reader/connect").status == 200;
  }));
  json tag;
  ASSERT_TRUE(
      eventually([&] { return !(tag = service_->find_tag(kTagA)).is_null(); }));
  EXPECT_EQ(tag["secured"], true) << tag.dump();
}

// The operator learns where the state file is; clients never do.
TEST_F(ReaderGateway, AStateThatCannotBeWrittenIsNamedOnlyToTheOperator) {
  ASSERT_TRUE(eventually([&] { return !service_->find_tag(kTagA).is_null(); }));
  std::filesystem::create_directory(dir_ / "state.json");
  const auto r = service_->request(
      "POST", "/tags/security", json{{"id", kTagA}, {"secure", true}}.dump());
  EXPECT_EQ(r.status, 500) << r.body;
  EXPECT_TRUE(has(r.body, "could not record it in its state file")) << r.body;
  EXPECT_FALSE(has(r.body, dir_.string())) << r.body;
}

TEST_F(ReaderGateway, AFailingReaderFailsKorvoQuicklyAndComesBack) {
  const struct {
    json fault;
  } cases[] = {
      {{{"kind", "drop"}}},
      {{{"kind", "garbage"}, {"what", "truncated_tlv"}}},
      {{{"kind", "hang"}}},
  };
  for (const auto& c : cases) {
    json fault = c.fault;
    fault["cmd"] = "fault";
    // Refused on reconnection until the fault is cleared.
    emulator_->command(fault);
    emulator_->command({{"cmd", "fault"}, {"kind", "refuse"}});
    if (c.fault["kind"] == "hang") std::this_thread::sleep_for(4s);
    const auto t0 = std::chrono::steady_clock::now();
    korvo_result r;
    ASSERT_TRUE(eventually([&] {
      r = korvo_on(*service_, {"print"});
      return r.code == 1;
    })) << fault.dump();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 8s) << fault.dump();
    EXPECT_TRUE(has(r.out + r.err, emulator_->url())) << r.out << r.err;
    emulator_->command({{"cmd", "fault"}, {"kind", "none"}});
    EXPECT_TRUE(eventually([&] {
      return korvo_on(*service_, {"print"}).code == 0;
    })) << fault.dump();
  }
}

// While the link is down and being reconnected, whatever needs the reader
// is refused at once, naming the reader and why, and never waits for the
// next attempt.
TEST_F(ReaderGateway, RequestsDuringAReconnectFailAtOnceNamingTheCause) {
  const std::string data =
      "48:filter=3;company_prefix=0614141;item_reference=812345;serial=9";
  const service_process::reply created =
      service_->request("POST", "/tags", json{{"data", data}}.dump());
  ASSERT_EQ(created.status, 201) << created.body;
  const std::string new_id = created.json()["tag"]["id"];

  emulator_->command({{"cmd", "fault"}, {"kind", "refuse"}, {"mode", "event"}});
  emulator_->command({{"cmd", "fault"}, {"kind", "drop"}});
  const std::string cause = "the reader refuses the connection";
  ASSERT_TRUE(eventually(
      [&] { return has(service_->request("GET", "/items").body, cause); }));

  const struct {
    std::vector<std::string> korvo;
    const char* path;  // of the operation the keyword asks for
    json body;
  } cases[] = {
      {{"print"}, "/items", nullptr},
      {{"write", data}, "/tags/write", {{"id", new_id}}},
      {{"set", kTagA}, "/tags/security", {{"id", kTagA}, {"secure", true}}},
      {{"clr", kTagA, "async"},
       "/tags/security",
       {{"id", kTagA}, {"secure", false}}},
  };
  for (const auto& c : cases) {
    const std::string what = ::testing::PrintToString(c.korvo);
    auto t0 = std::chrono::steady_clock::now();
    const service_process::reply answer =
        c.body.is_null() ? service_->request("GET", c.path)
                         : service_->request("POST", c.path, c.body.dump());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms) << c.path;
    EXPECT_EQ(answer.status, 503) << c.path << answer.body;
    const std::string message =
        answer.json()["error"].value("message", std::string());
    EXPECT_TRUE(has(message, emulator_->url())) << c.path << answer.body;
    EXPECT_TRUE(has(message, cause)) << c.path << answer.body;

    // The same refusal through korvo; the bound leaves room for starting
    // korvo on a loaded machine (under a sanitizer), not for waiting.
    t0 = std::chrono::steady_clock::now();
    const korvo_result r = korvo_on(*service_, c.korvo);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << what;
    EXPECT_EQ(r.code, 1) << what << r.out << r.err;
    EXPECT_TRUE(has(r.out + r.err, message)) << what << r.out << r.err;
  }
  // Nothing was done to the tag meanwhile.
  EXPECT_EQ(emulated_tag(0)["epc"], kTagA);
  EXPECT_EQ(emulated_tag(0)["epc_locked"], false);
}

}  // namespace
}  // namespace korvo_test
