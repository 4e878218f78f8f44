// Event derivation: sightings and ticks in, events out, for the rules of
// arrival, move (with its hold-off), departure and reader state.
#include "tag_service/events/derive.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tag_service/events/event.h"

namespace tag_service::events {
namespace {

// One step: a sighting of tag (antenna, rssi) at t, or a tick at t (tag "").
struct step {
  step(std::int64_t t, std::string tag, std::uint16_t antenna = 1,
       std::optional<int> rssi = std::nullopt)
      : t(t), tag(std::move(tag)), antenna(antenna), rssi(rssi) {}
  std::int64_t t;
  std::string tag;
  std::uint16_t antenna;
  std::optional<int> rssi;
};

sighting seen(const step& s) {
  sighting x;
  x.seen.id = "urn:epc:id:sgtin:0614141.812345." + s.tag;
  tag t;
  t.id = s.tag;
  t.values.push_back({"serial", s.tag, {}});
  x.seen.tags.push_back(t);
  x.scheme = "sgtin-96";
  x.antenna = s.antenna;
  x.peak_rssi = s.rssi;
  x.time_ms = s.t;
  return x;
}

// "arrived A@1", "moved A 1>2", "departed A@2" with the event's time.
std::string brief(const event& e) {
  std::string s = std::string(kind_name(e.kind)) + " " + e.tag_id;
  if (e.kind == event_kind::moved) {
    s += " " + std::to_string(e.from_antenna) + ">" + std::to_string(e.antenna);
  } else {
    s += "@" + std::to_string(e.antenna);
  }
  return s + " t" + std::to_string(e.time_ms);
}

std::vector<std::string> run(const std::vector<step>& steps) {
  event_deriver d({"dock-1", "abc", std::chrono::milliseconds(1000),
                   std::chrono::milliseconds(500)});
  std::vector<event> out;
  for (const step& s : steps) {
    if (s.tag.empty()) {
      d.tick(s.t, out);
    } else {
      d.sighted(seen(s), out);
    }
  }
  std::vector<std::string> briefs;
  for (const event& e : out) briefs.push_back(brief(e));
  return briefs;
}

TEST(EventDerivation, SightingsAndTimeMakeTheExpectedEvents) {
  struct case_ {
    const char* name;
    std::vector<step> steps;
    std::vector<std::string> events;
  };
  const std::vector<case_> cases = {
      {"one arrival however often seen, departure after the hold time",
       {{0, "A"}, {200, "A"}, {900, "A"}, {1800, ""}, {1901, ""}},
       {"arrived A@1 t0", "departed A@1 t1901"}},
      {"two tags depart in the order they were last seen",
       {{0, "B"}, {10, "A"}, {100, "B"}, {1200, ""}},
       {"arrived B@1 t0", "arrived A@1 t10", "departed A@1 t1200",
        "departed B@1 t1200"}},
      {"back after departing arrives again",
       {{0, "A"}, {1500, ""}, {1600, "A"}},
       {"arrived A@1 t0", "departed A@1 t1500", "arrived A@1 t1600"}},
      {"back after the hold time without a tick: departure, then arrival",
       {{0, "A"}, {5000, "A"}},
       {"arrived A@1 t0", "departed A@1 t1000", "arrived A@1 t5000"}},
      {"a move counts once it held for the hold-off",
       {{0, "A", 1, -60},
        {100, "A", 2, -50},
        {400, "A", 2, -50},
        {600, "A", 2, -50},
        {700, "A", 2, -50}},
       {"arrived A@1 t0", "moved A 1>2 t600"}},
      {"a tick confirms a move without a new sighting",
       {{0, "A", 1, -60}, {100, "A", 2, -50}, {650, ""}},
       {"arrived A@1 t0", "moved A 1>2 t650"}},
      {"a tag between two antennas does not flap",
       {{0, "A", 1, -55},
        {100, "A", 2, -50},
        {200, "A", 1, -45},
        {300, "A", 2, -50},
        {400, "A", 1, -45},
        {700, "A", 2, -50},
        {800, "A", 1, -45},
        {900, ""}},
       {"arrived A@1 t0"}},
      {"a weaker antenna alone takes over once the strong one is silent",
       {{0, "A", 1, -40},
        {100, "A", 2, -70},
        {550, "A", 2, -70},
        {1100, "A", 2, -70}},
       {"arrived A@1 t0", "moved A 1>2 t1100"}},
      {"equal strength keeps the tag where it is",
       {{0, "A", 1, -50},
        {100, "A", 2, -50},
        {700, "A", 1, -50},
        {800, "A", 2, -50}},
       {"arrived A@1 t0"}},
      {"no RSSI: the antenna that still sees it wins after the hold-off",
       {{0, "A", 1},
        {300, "A", 2},
        {600, "A", 2},
        {900, "A", 2},
        {1100, "A", 2}},
       {"arrived A@1 t0", "moved A 1>2 t1100"}},
  };
  for (const case_& c : cases) {
    EXPECT_EQ(run(c.steps), c.events) << c.name;
  }
}

TEST(EventDerivation, EventsCarryIdsReaderItemAndFields) {
  event_deriver d({"dock-1", "abc", std::chrono::milliseconds(1000),
                   std::chrono::milliseconds(500)});
  std::vector<event> out;
  d.sighted(seen({5, "A", 3, -61}), out);
  d.sighted(seen({6, "A", 3, -48}), out);
  d.tick(2000, out);
  out.push_back(d.state_changed(
      {reader_change::disconnected, "no keepalive from the reader", 2100}));
  ASSERT_EQ(out.size(), 3u);
  const auto arrived = nlohmann::json::parse(event_json(out[0]));
  EXPECT_EQ(arrived, nlohmann::json::parse(R"({
    "id": "abc-1", "kind": "arrived", "time": "1970-01-01T00:00:00.005Z",
    "reader": "dock-1", "antenna": 3, "tag_id": "A",
    "item_id": "urn:epc:id:sgtin:0614141.812345.A", "scheme": "sgtin-96",
    "peak_rssi": -61, "fields": {"serial": "A"}})"));
  const auto departed = nlohmann::json::parse(event_json(out[1]));
  EXPECT_EQ(departed["id"], "abc-2");
  EXPECT_EQ(departed["peak_rssi"], -48);  // the highest of the stay
  EXPECT_EQ(departed["last_seen"], "1970-01-01T00:00:00.006Z");
  const auto reader = nlohmann::json::parse(event_json(out[2]));
  EXPECT_EQ(reader["id"], "abc-3");
  EXPECT_EQ(reader["state"], "disconnected");
  EXPECT_EQ(reader["cause"], "no keepalive from the reader");
  EXPECT_EQ(d.tags_in_field(), 0u);
}

TEST(EventText, UtcMillisecondsAndBadTextReplaced) {
  EXPECT_EQ(utc_ms_text(1796821200123), "2026-12-09T13:00:00.123Z");
  EXPECT_EQ(utc_ms_text(0), "1970-01-01T00:00:00.000Z");
  event e;
  e.kind = event_kind::arrived;
  e.fields.push_back({"owner", "J\xFCrgen", {}});  // not UTF-8
  const auto j = nlohmann::json::parse(event_json(e));
  EXPECT_EQ(j["fields"]["owner"], "J\xEF\xBF\xBDrgen");
}

}  // namespace
}  // namespace tag_service::events
