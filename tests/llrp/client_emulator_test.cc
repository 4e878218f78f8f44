// The reader client against the reader emulator, an implementation of the
// protocol nobody here wrote: reading, tag operations, faults, recovery.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tag_service/readers/llrp/client.h"
#include "tag_service/readers/llrp/llrp_reader.h"
#include "tests/llrp/emulator_process.h"

namespace tag_service::llrp {
namespace {

using korvo_test::emulator_process;
using namespace std::chrono_literals;

const char* const epc_a = "3074257BF7194E4000001A85";
const char* const epc_b = "E2801160600002054A1B2C3D";
const char* const epc_new = "3034257BF7194E4000000001";

bytes from_hex(const std::string& h) {
  bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(
        static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<std::uint16_t> words_of(const bytes& b) {
  std::vector<std::uint16_t> w;
  for (std::size_t i = 0; i + 1 < b.size(); i += 2)
    w.push_back(static_cast<std::uint16_t>((b[i] << 8) | b[i + 1]));
  return w;
}

bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

client_options options_for(const emulator_process& e) {
  client_options o;
  std::string error;
  parse_reader_url(e.url(), o.address, error);
  o.keepalive = 300ms;
  o.answer_timeout = 1500ms;
  o.connect_timeout = 1000ms;
  o.max_backoff = 400ms;
  return o;
}

class ClientOnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = korvo_test::emulator_missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

TEST_F(ClientOnEmulator, ReadsTheTagsOnTheAntennasAsked) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  e.command({{"cmd", "tags"},
             {"tags",
              {{{"epc", epc_a}, {"antenna", 1}, {"rssi", -52}},
               {{"epc", epc_b}, {"antenna", 2}, {"rssi", -60}}}}});
  const struct {
    std::vector<std::uint16_t> antennas;
    std::size_t tags;
  } cases[] = {{{}, 2}, {{2}, 1}};
  for (const auto& c : cases) {
    client_options o = options_for(e);
    o.antennas = c.antennas;
    reader_client client(o);
    client.start();
    std::string cause;
    ASSERT_TRUE(eventually([&] { return client.ready(cause); })) << cause;
    EXPECT_TRUE(client.tags().empty());  // no inventory yet
    ASSERT_TRUE(client.start_inventory(cause)) << cause;
    ASSERT_TRUE(eventually([&] { return client.tags().size() == c.tags; }));
    std::this_thread::sleep_for(300ms);
    const auto tags = client.tags();
    ASSERT_EQ(tags.size(), c.tags);
    const seen_tag& last = tags.back();
    EXPECT_EQ(last.epc, from_hex(epc_b));
    EXPECT_EQ(last.epc_bits, 96);
    EXPECT_EQ(last.antenna, 2);
    EXPECT_EQ(last.peak_rssi, -60);
    EXPECT_GT(last.seen_count, 1u);
    EXPECT_GT(last.first_seen_us, 1'600'000'000'000'000u);  // a UTC time
    EXPECT_GE(last.last_seen_us, last.first_seen_us);
    ASSERT_TRUE(client.stop_inventory(cause)) << cause;
    EXPECT_TRUE(client.tags().empty());
  }
}

TEST_F(ClientOnEmulator, WritesLocksAndHonoursTheLock) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  e.command({{"cmd", "tags"}, {"tags", {{{"epc", epc_a}}}}});
  reader_client client(options_for(e));
  client.start();
  std::string error;
  ASSERT_TRUE(eventually([&] { return client.ready(error); })) << error;
  ASSERT_TRUE(client.start_inventory(error)) << error;

  const auto write = [&](const char* target, const char* epc,
                         std::uint32_t password) {
    access_op op;
    op.op_spec_id = 1;
    op.access_password = password;
    op.write = write_op{1, 2, words_of(from_hex(epc))};
    std::vector<op_result> results;
    if (!client.run_access(from_hex(target), {op}, results, error, 3000ms))
      return std::string("failed: ") + error;
    return op_result_text(results.at(0));
  };

  EXPECT_EQ(write(epc_a, epc_new, 0), "success");
  EXPECT_TRUE(client.await_sighting(from_hex(epc_new), 3000ms));
  EXPECT_EQ(e.state()["tags"][0]["epc"], epc_new);

  // Give the tag a password, then lock its EPC and its password.
  access_op password;
  password.op_spec_id = 1;
  password.write = write_op{0, 2, {0x1234, 0x5678}};
  access_op lock;
  lock.op_spec_id = 2;
  lock.access_password = 0x12345678;
  lock.lock = lock_op{{{lock_read_write, lock_epc_memory},
                       {lock_read_write, lock_access_password}}};
  std::vector<op_result> results;
  ASSERT_TRUE(client.run_access(from_hex(epc_new), {password, lock}, results,
                                error, 3000ms))
      << error;
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].kind, op_kind::write);
  EXPECT_EQ(results[0].result, 0);
  EXPECT_EQ(results[1].kind, op_kind::lock);
  EXPECT_EQ(results[1].result, 0);
  EXPECT_EQ(e.state()["tags"][0]["epc_locked"], true);

  EXPECT_EQ(write(epc_new, epc_a, 0), "tag memory locked");
  EXPECT_EQ(write(epc_new, epc_a, 0x12345678), "success");
  // A tag that is not there: the bound, not a hang.
  const std::string missing = write(epc_b, epc_a, 0);
  EXPECT_NE(missing.find("no answer from the tag"), std::string::npos)
      << missing;
}

TEST_F(ClientOnEmulator, RefusalsAndGarbageAreNamedAndOutlived) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    nlohmann::json fault;
    const char* cause;
    bool recovers;
  } cases[] = {
      {"refuse", {}, {{"kind", "refuse"}}, "closed the connection", true},
      {"refuse event",
       {},
       {{"kind", "refuse"}, {"mode", "event"}},
       "refuses the connection for a reason of its own (status 3)",
       true},
      {"busy", {}, {{"kind", "busy"}}, "another client holds it", true},
      {"garbage",
       {},
       {{"kind", "garbage"}, {"what", "bad_length"}},
       "malformed message",
       true},
      {"huge frame",
       {},
       {{"kind", "garbage"}, {"what", "huge_length"}},
       "above the cap",
       true},
      {"status",
       {},
       {{"kind", "error_status"}, {"message", "ADD_ROSPEC"}},
       "refused ADD_ROSPEC",
       true},
      {"no gen2", {"--no-gen2"}, {{"kind", "none"}}, "Class 1 Gen 2", false},
  };
  for (const auto& c : cases) {
    emulator_process e(c.args);
    ASSERT_GT(e.port(), 0) << e.error();
    nlohmann::json fault = c.fault;
    fault["cmd"] = "fault";
    e.command(fault);
    reader_client client(options_for(e));
    client.start();
    std::string cause;
    EXPECT_TRUE(eventually([&] {
      return !client.ready(cause) && cause.find(c.cause) != std::string::npos;
    })) << c.name
        << ": " << cause;
    EXPECT_NE(cause.find(e.url()), std::string::npos)
        << c.name << ": " << cause;
    if (!c.recovers) continue;
    e.command({{"cmd", "fault"}, {"kind", "none"}});
    EXPECT_TRUE(eventually([&] { return client.ready(cause); }))
        << c.name << ": " << cause;
  }
}

TEST_F(ClientOnEmulator, LostLinkIsNoticedAndTheInventoryResumes) {
  const struct {
    const char* kind;
    const char* cause;
  } cases[] = {
      {"drop", "closed the connection"},
      {"hang", "no keepalive"},
  };
  for (const auto& c : cases) {
    emulator_process e;
    ASSERT_GT(e.port(), 0) << e.error();
    e.command({{"cmd", "tags"}, {"tags", {{{"epc", epc_a}}}}});
    reader_client client(options_for(e));
    client.start();
    std::string cause;
    ASSERT_TRUE(eventually([&] { return client.ready(cause); })) << cause;
    ASSERT_TRUE(client.start_inventory(cause)) << cause;
    ASSERT_TRUE(eventually([&] { return client.tags().size() == 1; }));
    e.command({{"cmd", "fault"}, {"kind", c.kind}});
    const auto lost = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually(
        [&] {
          return !client.ready(cause) &&
                 cause.find(c.cause) != std::string::npos;
        },
        3000ms))
        << c.kind << ": " << cause;
    EXPECT_LT(std::chrono::steady_clock::now() - lost, 2500ms) << c.kind;
    e.command({{"cmd", "fault"}, {"kind", "none"}});
    EXPECT_TRUE(eventually([&] { return client.ready(cause); })) << c.kind;
    // Started again on the new connection, without being asked.
    EXPECT_TRUE(eventually([&] {
      return e.state()["rospecs"][0]["state"] == "Active";
    })) << c.kind;
  }
}

TEST_F(ClientOnEmulator, StopLeavesTheReaderTidy) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  {
    reader_client client(options_for(e));
    client.start();
    std::string cause;
    ASSERT_TRUE(eventually([&] { return client.ready(cause); })) << cause;
    ASSERT_TRUE(client.start_inventory(cause)) << cause;
    client.stop();
  }
  const auto state = e.state();
  EXPECT_TRUE(state["rospecs"].empty()) << state.dump();
  EXPECT_EQ(state["messages"].value("STOP_ROSPEC", 0), 1) << state.dump();
  EXPECT_EQ(state["messages"].value("CLOSE_CONNECTION", 0), 1) << state.dump();
}

// Each habit of a real reader, as the emulator plays it, still gives a
// reading of every tag in the field, with its antenna, peak RSSI and a
// first-seen time on our clock, for several hold times.
TEST_F(ClientOnEmulator, RealReaderHabitsLeaveTheReadingWhole) {
  using json = nlohmann::json;
  const auto fault = [](json f) {
    f["cmd"] = "fault";
    return f;
  };
  const struct {
    const char* name;
    std::vector<json> faults;
    std::uint8_t session;
  } cases[] = {
      {"reports held until enabled", {fault({{"kind", "hold_reports"}})}, 0},
      {"enabling reports refused",
       {fault({{"kind", "error_status"},
               {"message", "ENABLE_EVENTS_AND_REPORTS"},
               {"status", "M_UnsupportedMessage"}})},
       0},
      {"persistent Gen2 session", {fault({{"kind", "sticky_session"}})}, 1},
      {"another client's specs", {fault({{"kind", "leftover_specs"}})}, 0},
      {"no UTC clock", {fault({{"kind", "clock"}, {"mode", "uptime"}})}, 0},
      {"clock never set", {fault({{"kind", "clock"}, {"mode", "y2000"}})}, 0},
      {"unchanged values left out", {fault({{"kind", "omit_unchanged"}})}, 0},
      {"all at once",
       {fault({{"kind", "hold_reports"}}),
        fault({{"kind", "sticky_session"}, {"session", 3}}),
        fault({{"kind", "leftover_specs"}}),
        fault({{"kind", "clock"}, {"mode", "uptime"}}),
        fault({{"kind", "omit_unchanged"}})},
       0},
  };
  emulator_process e;  // one reader for every case, as it is left
  ASSERT_GT(e.port(), 0) << e.error();
  for (const auto& c : cases) {
    // New tags each time: a persistent session remembers the old ones.
    e.command(
        {{"cmd", "tags"},
         {"tags",
          {{{"epc", epc_a}, {"rssi", -52}}, {{"epc", epc_b}, {"rssi", -52}}}}});
    for (const json& f : c.faults) ASSERT_EQ(e.command(f)["ok"], true) << f;
    client_options o = options_for(e);
    o.hold = 400ms;
    o.session = c.session;
    reader_client client(o);
    client.start();
    std::string cause;
    ASSERT_TRUE(eventually([&] { return client.ready(cause); }))
        << c.name << cause;
    ASSERT_TRUE(client.start_inventory(cause)) << c.name << cause;
    EXPECT_TRUE(eventually([&] { return client.tags().size() == 2; }))
        << c.name;
    std::this_thread::sleep_for(1000ms);  // well past the hold time
    const auto now_us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count());
    const auto tags = client.tags();
    EXPECT_EQ(tags.size(), 2u) << c.name;
    for (const seen_tag& t : tags) {
      EXPECT_EQ(t.antenna, 1) << c.name;
      EXPECT_EQ(t.peak_rssi, -52) << c.name;
      EXPECT_LT(now_us - t.first_seen_us, 10'000'000u) << c.name;
      EXPECT_GE(t.last_seen_us, t.first_seen_us) << c.name;
    }
    const json state = e.state();
    EXPECT_EQ(state["rospecs"], json::parse(R"([{"id":1,"state":"Active"}])"))
        << c.name;
    EXPECT_TRUE(state["accessspecs"].empty()) << c.name;
    EXPECT_EQ(state["session"], c.session) << c.name;
    EXPECT_EQ(state["hold_events_and_reports"], 0) << c.name;
    client.stop();
    e.command(fault({{"kind", "none"}}));
  }
}

// Real readers take their time for a factory reset, keep a keepalive period
// of their own, and may have LLRP switched off.
TEST_F(ClientOnEmulator, TimingOfRealReadersIsMet) {
  using json = nlohmann::json;
  const struct {
    const char* name;
    json fault;
    bool inventory;
    const char* cause;  // null: the link comes up and stays up
  } cases[] = {
      {"slow factory reset",
       {{"kind", "slow"}, {"ms", 2000}, {"message", "SET_READER_CONFIG"}},
       false,
       nullptr},
      {"keepalive period of its own",
       {{"kind", "keepalive_period"}, {"ms", 1200}},
       false,
       nullptr},
      {"reports but no keepalive", {{"kind", "no_keepalive"}}, true, nullptr},
      {"LLRP switched off",
       {{"kind", "llrp_off"}},
       false,
       "Impinj R700 has its LLRP interface switched off"},
  };
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  e.command({{"cmd", "tags"}, {"tags", {{{"epc", epc_a}}}}});
  for (const auto& c : cases) {
    json fault = c.fault;
    fault["cmd"] = "fault";
    ASSERT_EQ(e.command(fault)["ok"], true) << c.name;
    reader_client client(options_for(e));  // 1.5 s answers, 0.3 s keepalive
    client.start();
    std::string cause;
    if (c.cause) {
      EXPECT_TRUE(eventually([&] {
        return !client.ready(cause) && cause.find(c.cause) != std::string::npos;
      })) << c.name
          << ": " << cause;
      e.command({{"cmd", "fault"}, {"kind", "none"}});
    }
    ASSERT_TRUE(eventually([&] { return client.ready(cause); }, 8000ms))
        << c.name << ": " << cause;
    if (c.inventory) {
      ASSERT_TRUE(client.start_inventory(cause)) << cause;
    }
    const int connections = e.state()["connections"];
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(client.ready(cause)) << c.name << ": " << cause;
    EXPECT_EQ(e.state()["connections"], connections) << c.name;
    client.stop();
    e.command({{"cmd", "fault"}, {"kind", "none"}});
  }
}

// LLRP reports a wrong access password as no response (or a tag error), as
// it does a tag out of reach: with a password given, the message names both.
TEST_F(ClientOnEmulator, AWrongAccessPasswordIsNamedBesideTheDistance) {
  using json = nlohmann::json;
  const struct {
    const char* name;
    json tag;
    bool clear;  // clear the security, which gives the password; else write
    const char* want;
    bool names_password;
  } cases[] = {
      {"another password on the tag",
       {{"epc", epc_a}, {"access_password", "0BADBEEF"}, {"epc_locked", true}},
       true,
       "no response from the tag (bring the tag closer to the antenna, or "
       "check that the tag's access password is the configured one",
       true},
      {"out of reach, no password given",
       {{"epc", epc_a}, {"fault", "no_response"}},
       false,
       "no response from the tag (bring the tag closer to the antenna)",
       false},
  };
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  const auto state_file = std::filesystem::temp_directory_path() /
                          ("llrp-state-" + std::to_string(::getpid()));
  for (const auto& c : cases) {
    e.command({{"cmd", "tags"}, {"tags", {c.tag}}});
    std::ofstream(state_file) << json{{"secured", {epc_a}}}.dump();
    llrp_reader_options o;
    o.client = options_for(e);
    o.access_password = 0x12345678;
    o.state_file = state_file.string();
    llrp_reader reader(o);
    ASSERT_TRUE(eventually([&] {
      try {
        return reader.set_connected(true) && reader.items().size() == 1;
      } catch (const reader_error&) {
        return false;
      }
    })) << c.name;
    const std::string id = reader.items().at(0).tags.at(0).id;
    reader_error error;
    try {
      if (c.clear) {
        reader.set_security(id, false);
      } else {
        reader.write_tag(reader
                             .create_tag("48:filter=3;company_prefix=0614141;"
                                         "item_reference=812345;serial=2")
                             .id);
      }
    } catch (const reader_error& e) {
      error = e;
    }
    EXPECT_EQ(error.status, 504) << c.name;
    EXPECT_NE(error.message.find(c.want), std::string::npos)
        << c.name << ": " << error.message;
    EXPECT_EQ(error.message.find("access password") != std::string::npos,
              c.names_password)
        << c.name << ": " << error.message;
  }
  std::filesystem::remove(state_file);
}

}  // namespace
}  // namespace tag_service::llrp

namespace tag_service::llrp {
namespace {

// A link whose answers stop coming is out of step: it is torn down and made
// again, not kept "ready" while every request waits out its bound.
TEST_F(ClientOnEmulator, AnAnswerThatTimesOutTearsTheLinkDown) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  client_options o = options_for(e);
  o.answer_timeout = 500ms;
  reader_client client(o);
  client.start();
  std::string cause;
  ASSERT_TRUE(eventually([&] { return client.ready(cause); })) << cause;
  e.command({{"cmd", "fault"}, {"kind", "slow"}, {"ms", 3000}});
  EXPECT_FALSE(client.start_inventory(cause));
  EXPECT_NE(cause.find("no answer from the reader"), std::string::npos)
      << cause;
  EXPECT_FALSE(client.ready(cause)) << "kept ready after a lost answer";
  EXPECT_NE(cause.find("no answer from the reader"), std::string::npos)
      << cause;
}

// The inventory counts as running only once the reader started it: a
// second caller neither gets a success nor an empty reading meanwhile.
TEST_F(ClientOnEmulator, InventoryRunsOnlyOnceTheReaderStartedIt) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  reader_client client(options_for(e));
  client.start();
  std::string cause;
  ASSERT_TRUE(eventually([&] { return client.ready(cause); })) << cause;
  e.command({{"cmd", "fault"},
             {"kind", "slow"},
             {"ms", 600},
             {"message", "START_ROSPEC"}});
  e.command({{"cmd", "fault"},
             {"kind", "error_status"},
             {"message", "START_ROSPEC"}});
  bool first = true;
  std::thread a([&] {
    std::string error;
    first = client.start_inventory(error);
  });
  std::this_thread::sleep_for(200ms);
  const bool running_meanwhile = client.inventory_running();
  std::string error;
  const bool second = client.start_inventory(error);
  a.join();
  EXPECT_FALSE(first);
  EXPECT_FALSE(running_meanwhile);
  EXPECT_FALSE(second) << "a start that the reader refused counted as done";
  EXPECT_FALSE(client.inventory_running());
}

// A reader that closes every link right after the handshake is retried
// ever more slowly, not every quarter second.
TEST_F(ClientOnEmulator, ALinkClosedAtOnceDoesNotResetTheBackOff) {
  emulator_process e;
  ASSERT_GT(e.port(), 0) << e.error();
  client_options o = options_for(e);
  o.max_backoff = 4000ms;
  reader_client client(o);
  client.start();
  const auto until = std::chrono::steady_clock::now() + 3500ms;
  while (std::chrono::steady_clock::now() < until) {
    std::string cause;
    if (client.ready(cause)) {
      e.command({{"cmd", "fault"}, {"kind", "drop"}});
      eventually([&] { return !client.ready(cause); }, 1000ms);
    }
    std::this_thread::sleep_for(20ms);
  }
  // 0, 0.25, 0.75, 1.75 s (and 3.75 s): at most 4 links.
  EXPECT_LE(e.state()["connections"].get<int>(), 4);
}

}  // namespace
}  // namespace tag_service::llrp
