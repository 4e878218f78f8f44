// tag-service --mqtt against Debian's mosquitto broker, started by the test
// on a free loopback port with a configuration in the build tree, and
// mosquitto_sub as the subscriber: the events a changing field makes, a
// broker restart within the outbox's bound (nothing lost) and beyond it
// (the gap event counts exactly what was dropped), and refused start-up
// options.
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
  subscriber(const broker& b, const std::string& name,
             const std::string& user = "", const std::string& password = "")
      : process_({"stdbuf",
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
                  "-d"}) {
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
  std::map<std::string, std::vector<std::string>> per_tag;
  for (const json& e : sub.got.events) {
    EXPECT_TRUE(ids.insert(e["id"]).second) << e.dump();
    EXPECT_EQ(e["reader"], "cycle");
    if (e["kind"] == "reader") continue;
    std::string step = e["kind"].get<std::string>() + "@" +
                       std::to_string(e["antenna"].get<int>());
    if (e["kind"] == "moved")
      step += " from " + std::to_string(e["from_antenna"].get<int>());
    per_tag[e["tag_id"]].push_back(step);
  }
  EXPECT_EQ(sub.got.events.at(0)["state"], "connected");
  EXPECT_EQ(sub.got.events.at(1)["state"], "inventory_started");
  ASSERT_GE(per_tag.size(), 9u);
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

// A broker restart within the outbox's bound loses nothing: the events'
// sequence numbers run without a hole. Beyond the bound the gap event
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
    }
  }
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

// Wrong URLs and unreadable credentials are refused at start, with exit 2
// and a message that never shows the password.
TEST_F(MqttEvents, BadBrokerOptionsAreRefusedAtStart) {
  const std::string dir = std::string(MQTT_TEST_DIR);
  std::filesystem::create_directories(dir);
  const std::string creds = dir + "/three-lines";
  std::ofstream(creds) << "user\ns3cret\nmore\n";
  struct case_ {
    std::vector<std::string> args;
    const char* says;
  };
  const case_ cases[] = {
      {{"--mqtt", "tcp://127.0.0.1"}, "mqtt://HOST"},
      {{"--mqtt", "mqtt://127.0.0.1:0"}, "port"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-credentials", dir + "/none"},
       "cannot read the MQTT credentials file"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-credentials", creds},
       "first line"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-ca", creds}, "mqtts://"},
      {{"--mqtt", "mqtt://127.0.0.1", "--name", "a/#"}, "+ or #"},
      {{"--name", "dock"}, "go with --mqtt"},
  };
  for (const case_& c : cases) {
    std::vector<std::string> args = {TAG_SERVICE_BINARY, "--port", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const command_result r = run_command(args, 5000);
    EXPECT_EQ(r.code, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("s3cret"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace korvo_test
