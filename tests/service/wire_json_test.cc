// The JSON writer and the protocol's JSON forms written with it.
#include "tag_service/model/wire_json.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <map>

#include "tag_service/gs1/epc_field.h"
#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/service/live_view.h"

namespace tag_service {
namespace {

using nlohmann::json;

// Texts are written byte for byte as the JSON library writes them (its
// escapes are the ones clients have always read).
TEST(JsonWriter, TextsAndNumbersAsTheJsonLibraryWritesThem) {
  std::string controls;
  for (char c = 0; c < 0x20; ++c) controls.push_back(c);
  const std::string texts[] = {
      "",
      "plain ASCII / with a slash",
      controls,
      "quote\" backslash\\ del\x7F",
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
      "\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF",
      std::string("nul\0inside", 10),
  };
  for (const std::string& t : texts) {
    EXPECT_EQ(json_text([&](json_writer& w) { w.value(t); }), json(t).dump());
  }
  constexpr auto i64 = std::numeric_limits<std::int64_t>();
  for (const std::int64_t n : {std::int64_t{0}, std::int64_t{-1}, i64.min(),
                               i64.max(), std::int64_t{2147483647}}) {
    EXPECT_EQ(json_text([&](json_writer& w) { w.value(n); }), json(n).dump());
  }
  const std::uint64_t u = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(json_text([&](json_writer& w) { w.value(u); }), json(u).dump());
}

// A text that is not UTF-8 still makes valid JSON: each byte that starts
// no well-formed sequence becomes U+FFFD, as the tree's decoder reads it.
TEST(JsonWriter, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"\xFF", r},
      {"a\xC3", "a" + r},
      {"\xE2\x82"
       "A",
       r + r + "A"},                        // cut short
      {"\xED\xA0\x80", r + r + r},          // a surrogate
      {"\xC0\xAF", r + r},                  // overlong
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\x80\n\xC3\xA9\"", r + "\\n\xC3\xA9\\\""},
  };
  for (const auto& c : cases) {
    const std::string text =
        json_text([&](json_writer& w) { w.value(c.text); });
    EXPECT_EQ(text, "\"" + c.expected + "\"");
    EXPECT_TRUE(json::accept(text)) << text;
  }
}

TEST(JsonWriter, NestsAndSeparates) {
  const std::string text = json_text([](json_writer& w) {
    w.begin_object();
    w.key("a");
    w.begin_array();
    w.end_array();
    w.key("b");
    w.begin_object();
    w.end_object();
    w.key("c");
    w.begin_array();
    w.value(true);
    w.begin_object();
    w.member("d", false);
    w.member("e", "f");
    w.end_object();
    w.begin_array();
    w.value(std::int32_t{1});
    w.end_array();
    w.value(std::int32_t{2});
    w.end_array();
    w.end_object();
  });
  EXPECT_EQ(text, R"({"a":[],"b":{},"c":[true,{"d":false,"e":"f"},[1],2]})");
}

// Every JSON form the service answers with holds the same documents as the
// ones captured in wire_forms.tsv (from the tree-building writer this one
// replaced): the demo scene, a reader's field of GS1 EPCs (with broken and
// raw ones) and odd texts. A deliberate change of a form, the demo scene or
// the GS1 formats updates that file.
constexpr std::uint64_t kTime = 133000000000000000ull;  // 2022-06-18

std::map<std::string, json> captured() {
  std::ifstream in(KORVO_WIRE_FORMS);
  std::map<std::string, json> forms;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    forms[line.substr(0, tab)] = json::parse(line.substr(tab + 1));
  }
  return forms;
}

std::vector<item> reader_field() {
  std::vector<item> field;
  for (const char* hex :
       {"3074257BF7194E4000001A85", "3174257BF4499602D2000000",
        "3274257BF460720000000190", "3374257BF40C0E4000000190",
        "3474257BF40000000000162E", "350007AB70425D4000000586",
        "E28011700000020A1B2C3D01", "30FC257BF7194E4000001A85",
        "000000000000000000000000", "36143639F84191AD22901607", ""}) {
    const epc::decoded d = *epc::decode_hex(hex);
    tag t = epc::epc_tag(d);
    t.first_seen = kTime + 10000000;
    t.values.push_back({"antenna", "2", {}});
    t.values.push_back({"peak_rssi", "-61", "dBm"});
    item i;
    i.id = epc::item_id(d);
    i.type = epc::item_type(d);
    i.first_seen = t.first_seen;
    i.tags.push_back(t);
    field.push_back(i);
  }
  return field;
}

TEST(WireForms, SameDocumentsAsBefore) {
  const scene demo = load_scene(json::parse(demo_scene_json()), kTime);
  const std::vector<item> field = reader_field();
  static const char kOdd[] =
      "quote\" back\\ slash/ nul\0 bel\a bs\b ff\f nl\n cr\r tab\t esc\x1b "
      "us\x1f del\x7f end";
  item odd;
  odd.id = std::string(kOdd, sizeof kOdd - 1);
  odd.valid = false;
  odd.type = 9;
  tag ot;
  ot.id =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 "
      "\xE2\x80\xA8\xE2\x80\xA9 \xEF\xBB\xBF";
  ot.format = std::numeric_limits<std::int32_t>::min();
  ot.type = std::numeric_limits<std::int32_t>::max();
  ot.security = ot.secured = true;
  ot.first_seen = ~0ull;
  ot.values.push_back({"", "", std::string()});
  ot.values.push_back({"\x01\x02", "line\nbreak", std::string("\x10")});
  odd.tags.push_back(ot);

  const auto list = [](const char* key, const auto& elements, auto write) {
    return json_text([&](json_writer& w) {
      w.begin_object();
      w.key(key);
      w.begin_array();
      for (const auto& e : elements) write(w, e);
      w.end_array();
      w.end_object();
    });
  };
  const auto formats = [](json_writer& w, const tag_format& f) {
    write_format(w, f);
  };
  const auto items = [](json_writer& w, const item& i) { write_item(w, i); };
  const reader_view llrp{"llrp://192.0.2.10:5084", true, false,
                         "antenna \"2\"\tlost", field};
  const std::map<std::string, std::string> now = {
      {"demo_formats", list("formats", demo.formats, formats)},
      {"demo_items", list("items", demo.items, items)},
      {"field_formats", list("formats", epc::epc_formats(), formats)},
      {"field_items", list("items", field, items)},
      {"odd_items", list("items", std::vector<item>{odd}, items)},
      {"odd_tag", json_text([&](json_writer& w) {
         w.begin_object();
         w.key("tag");
         write_tag(w, ot);
         w.end_object();
       })},
      {"field_status", live_status(llrp, epc::epc_formats(), kTime)},
      {"demo_status", live_status(reader_view{}, demo.formats, kTime)},
      {"demo_scene", json_text([&](json_writer& w) { write_scene(w, demo); })},
  };
  const std::map<std::string, json> before = captured();
  ASSERT_EQ(before.size(), now.size());
  for (const auto& [name, text] : now) {
    ASSERT_EQ(before.count(name), 1u) << name;
    EXPECT_EQ(json::parse(text), before.at(name)) << name;
  }
}

}  // namespace
}  // namespace tag_service
