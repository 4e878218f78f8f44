// EPCs of every length a reader may report, from the report frame through
// the tag table to the item and tag the service shows.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "protocol/wire_time.h"
#include "tag_service/gs1/epc_field.h"
#include "tag_service/model/wire_json.h"
#include "tag_service/readers/llrp/llrp_reader.h"
#include "tag_service/readers/llrp/messages.h"
#include "tag_service/readers/llrp/tag_table.h"

namespace tag_service::llrp {
namespace {

bytes from_hex(std::string_view text) {
  bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(
        std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

void put(bytes& b, std::uint64_t v, int size) {
  for (int i = size - 1; i >= 0; --i)
    b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// An RO_ACCESS_REPORT of one TagReportData: the EPC as EPCData (any length),
// antenna 2, peak RSSI -61, first seen at first_us, seen 3 times.
bytes report_frame(std::uint16_t bits, const bytes& epc,
                   std::uint64_t first_us) {
  bytes epc_data;
  put(epc_data, par_epc_data, 2);
  put(epc_data, 6 + epc.size(), 2);
  put(epc_data, bits, 2);
  epc_data.insert(epc_data.end(), epc.begin(), epc.end());
  bytes trd;
  put(trd, par_tag_report_data, 2);
  put(trd, 4 + epc_data.size() + 3 + 2 + 9 + 3, 2);
  trd.insert(trd.end(), epc_data.begin(), epc_data.end());
  put(trd, 0x81, 1);  // AntennaID
  put(trd, 2, 2);
  put(trd, 0x86, 1);  // PeakRSSI
  put(trd, 0xC3, 1);
  put(trd, 0x82, 1);  // FirstSeenTimestampUTC
  put(trd, first_us, 8);
  put(trd, 0x88, 1);  // TagSeenCount
  put(trd, 3, 2);
  bytes frame;
  put(frame, (1u << 10) | msg_ro_access_report, 2);
  put(frame, 10 + trd.size(), 4);
  put(frame, 77, 4);
  frame.insert(frame.end(), trd.begin(), trd.end());
  return frame;
}

std::string value_of(const tag& t, std::string_view name) {
  for (const auto& v : t.values) {
    if (v.name == name) return v.value;
  }
  return "(none)";
}

TEST(Sighting, EpcsOfAnyLengthAreShownByTheirScheme) {
  const std::string sgtin198 =
      "3674257BF7194E60C286B58B2F00000000000000000000000000";
  const struct {
    std::uint16_t bits;
    std::string hex;  // the EPC as the reader sends it
    std::int32_t format;
    std::int32_t type;
    std::string item_id;
    std::string tag_id;
    std::string tag_uri;
    const char* value_name;  // and one value of the tag
    std::string value;
  } cases[] = {
      // SGTIN-198 in 13 whole words, as a tag's PC word counts it.
      {208, sgtin198, 54, epc::kTypeItem,
       "urn:epc:id:sgtin:0614141.812345.ABC-12x", sgtin198,
       "urn:epc:tag:sgtin-198:3.0614141.812345.ABC-12x", "serial", "ABC-12x"},
      {128, "E2801170000002011234567890ABCDEF", epc::kRawFormatId,
       epc::kTypeUnknown, "E2801170000002011234567890ABCDEF",
       "E2801170000002011234567890ABCDEF",
       "urn:epc:raw:128.xE2801170000002011234567890ABCDEF", "epc",
       "E2801170000002011234567890ABCDEF"},
      // An SGTIN header on an EPC of 100 bits: no SGTIN, shown raw.
      {100, "3074257BF7194E4000001A8000", epc::kRawFormatId, epc::kTypeUnknown,
       "3074257BF7194E4000001A800", "3074257BF7194E4000001A800",
       "urn:epc:raw:100.x3074257BF7194E4000001A800", "epc",
       "3074257BF7194E4000001A800"},
      // A tag whose EPC memory holds no EPC: blank, and still has an id.
      {0, "", epc::kRawFormatId, epc::kTypeBlank, "urn:epc:raw:0.x",
       "urn:epc:raw:0.x", "urn:epc:raw:0.x", "epc", ""},
  };
  const std::uint64_t first_us = 1'700'000'000'123'456;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex + " (" + std::to_string(c.bits) + " bits)");
    message m;
    std::string reason;
    ASSERT_TRUE(decode_message(report_frame(c.bits, from_hex(c.hex), first_us),
                               m, reason))
        << reason;
    ASSERT_EQ(m.reports.size(), 1u);
    EXPECT_EQ(m.reports[0].epc_bits, c.bits);

    tag_table table(std::chrono::milliseconds(2000));
    table.merge(m.reports[0], steady_time{});
    const auto seen = table.current(steady_time{});
    ASSERT_EQ(seen.size(), 1u);
    const item i = sighting_item(seen[0]);
    EXPECT_EQ(i.id, c.item_id);
    EXPECT_EQ(i.type, c.type);
    ASSERT_EQ(i.tags.size(), 1u);
    const tag& t = i.tags[0];
    EXPECT_EQ(t.id, c.tag_id);
    EXPECT_EQ(t.format, c.format);
    EXPECT_EQ(t.type, c.type);
    EXPECT_EQ(value_of(t, "tag_uri"), c.tag_uri);
    EXPECT_EQ(value_of(t, c.value_name), c.value);
    EXPECT_EQ(value_of(t, "antenna"), "2");
    EXPECT_EQ(value_of(t, "peak_rssi"), "-61");
    EXPECT_EQ(value_of(t, "seen_count"), "3");
    const auto first = tag_protocol::filetime_from_unix_ns(
        static_cast<std::int64_t>(first_us) * 1000);
    EXPECT_EQ(t.first_seen, first);
    EXPECT_EQ(i.first_seen, first);
  }
}

}  // namespace
}  // namespace tag_service::llrp

namespace tag_service::llrp {
namespace {

std::size_t objects_in(const nlohmann::json& j) {
  std::size_t n = j.is_object() ? 1 : 0;
  if (j.is_structured()) {
    for (const auto& e : j) n += objects_in(e);
  }
  return n;
}

// However large the field and whatever its EPCs, a reading out of a full
// table stays within what korvo accepts: 200,000 JSON objects, 16 MiB. The
// tags of one case differ only in a few bytes, so the largest of a sample,
// times the tags kept, bounds the reading.
TEST(Sighting, AReadingOfAFullTableFitsWhatKorvoAccepts) {
  const struct {
    const char* name;
    std::uint8_t header;
    std::uint16_t bits;
  } cases[] = {
      {"sgtin-96", 0x30, 96},
      {"sgtin-198", 0x36, 208},
      {"raw 496 bits with a problem", 0x30, 496},
      {"raw 65535 bits", 0xE2, 65535},
  };
  for (const auto& c : cases) {
    tag_table table(std::chrono::milliseconds(2000), most_max_tags);
    tag_report r;
    r.epc.assign((c.bits + 7u) / 8u, 0);
    r.epc[0] = c.header;
    r.epc_bits = c.bits;
    r.antenna = 1;
    r.peak_rssi = -40;
    r.first_seen_us = r.last_seen_us = 1'700'000'000'000'000;
    r.seen_count = 65535;
    r.pc = 0x3000;
    const steady_time t0{};
    const std::size_t offered = most_max_tags / ((c.bits + 495u) / 496u) + 100;
    for (std::size_t i = 0; i < offered; ++i) {
      r.epc[4] = static_cast<std::uint8_t>(i >> 16);
      r.epc[5] = static_cast<std::uint8_t>(i >> 8);
      r.epc[6] = static_cast<std::uint8_t>(i);
      table.merge(r, t0);
    }
    const auto kept = table.current(t0);
    EXPECT_EQ(table.not_kept(), 100u) << c.name;
    ASSERT_FALSE(kept.empty()) << c.name;
    std::size_t objects = 0;
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < kept.size(); k += kept.size() / 10 + 1) {
      const item seen = sighting_item(kept[k]);
      const nlohmann::json one = nlohmann::json::parse(
          json_text([&](json_writer& w) { write_item(w, seen); }));
      objects = std::max(objects, objects_in(one));
      bytes = std::max(bytes, one.dump().size() + 1);  // and a comma
    }
    EXPECT_LE(1 + objects * kept.size(), 200000u) << c.name;
    EXPECT_LE(16 + bytes * kept.size(), 16u << 20) << c.name;
  }
}

}  // namespace
}  // namespace tag_service::llrp
