// What EPCs become in the tag service: formats, items, tags, write data.
#include "tag_service/gs1/epc_field.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tag_service/model/wire_json.h"
#include "tag_service/readers/simulated/scene_file.h"

namespace epc {
namespace {

decoded from_hex(const char* hex) { return decode_hex(hex).value(); }

TEST(EpcField, EachSchemeHasAFormatWhoseFieldsAreTheSchemes) {
  const auto& formats = epc_formats();
  ASSERT_EQ(formats.size(), 8u);
  for (scheme s :
       {scheme::sgtin_96, scheme::sscc_96, scheme::sgln_96, scheme::grai_96,
        scheme::giai_96, scheme::gid_96, scheme::sgtin_198}) {
    SCOPED_TRACE(std::string(scheme_name(s)));
    const tag_service::tag_format* f = nullptr;
    for (const auto& candidate : formats) {
      if (candidate.id == header_of(s)) f = &candidate;
    }
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->fields.size(), field_names(s).size());
    for (std::size_t k = 0; k < f->fields.size(); ++k) {
      EXPECT_EQ(f->fields[k].name, field_names(s)[k]);
      EXPECT_EQ(f->fields[k].id, static_cast<std::int32_t>(k + 1));
    }
  }
  EXPECT_EQ(formats.back().id, kRawFormatId);
  // The formats obey the service's own rules for a scene file.
  EXPECT_NO_THROW(
      tag_service::load_scene(tag_service::scene_json({formats, {}}), 0));
}

TEST(EpcField, ItemsAndTagsFollowTheScheme) {
  const struct {
    const char* hex;
    std::int32_t format;
    std::int32_t type;
    const char* item_id;
  } cases[] = {
      {"3074257BF7194E4000001A85", 48, kTypeItem,
       "urn:epc:id:sgtin:0614141.812345.6789"},
      {"3174257BF4499602D2000000", 49, kTypeOther,
       "urn:epc:id:sscc:0614141.1234567890"},
      {"3274257BF460720000000190", 50, kTypeLocation,
       "urn:epc:id:sgln:0614141.12345.400"},
      {"3374257BF40C0E4000000190", 51, kTypeEquipment,
       "urn:epc:id:grai:0614141.12345.400"},
      {"3474257BF40000000000162E", 52, kTypeEquipment,
       "urn:epc:id:giai:0614141.5678"},
      {"350007AB70425D4000000586", 53, kTypeOther,
       "urn:epc:id:gid:31415.271828.1414"},
      {"E28011700000020A1B2C3D01", kRawFormatId, kTypeUnknown,
       "E28011700000020A1B2C3D01"},
      {"30FC257BF7194E4000001A85", kRawFormatId, kTypeUnknown,
       "30FC257BF7194E4000001A85"},
      {"000000000000000000000000", kRawFormatId, kTypeBlank,
       "000000000000000000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    const decoded d = from_hex(c.hex);
    EXPECT_EQ(format_id(d), c.format);
    EXPECT_EQ(item_type(d), c.type);
    EXPECT_EQ(item_id(d), c.item_id);
    const tag_service::tag t = epc_tag(d);
    EXPECT_EQ(t.id, c.hex);
    EXPECT_EQ(t.format, c.format);
    EXPECT_EQ(t.type, c.type);
    ASSERT_FALSE(t.values.empty());
    EXPECT_EQ(t.values.back().name, "tag_uri");
    EXPECT_EQ(t.values.back().value, tag_uri(d));
  }
}

TEST(EpcField, TagValuesAreTheFieldsThenElementStringOrRawEpc) {
  const auto names_and_values = [](const tag_service::tag& t) {
    std::string out;
    for (const auto& v : t.values) out += v.name + "=" + v.value + ";";
    return out;
  };
  EXPECT_EQ(names_and_values(epc_tag(from_hex("3074257BF7194E4000001A85"))),
            "filter=3;company_prefix=0614141;item_reference=812345;"
            "serial=6789;element_string=(01)80614141123458(21)6789;"
            "tag_uri=urn:epc:tag:sgtin-96:3.0614141.812345.6789;");
  EXPECT_EQ(names_and_values(epc_tag(from_hex("30FC257BF7194E4000001A85"))),
            "epc=30FC257BF7194E4000001A85;problem=partition 7 is reserved;"
            "tag_uri=urn:epc:raw:96.x30FC257BF7194E4000001A85;");
}

TEST(EpcField, WriteDataBecomesANewEpc) {
  const struct {
    const char* data;
    const char* hex;
  } cases[] = {
      {"48:filter=3;company_prefix=0614141;item_reference=812345;serial=6789",
       "3074257BF7194E4000001A85"},
      // Names ignore ASCII case and the filter takes a number's forms.
      {"48:FILTER=+3;Company_Prefix=0614141;item_reference=812345;serial=6789",
       "3074257BF7194E4000001A85"},
      {"49:filter=3;company_prefix=0614141;serial_reference=1234567890",
       "3174257BF4499602D2000000"},
      {"50:filter=0;company_prefix=061414112345;location_reference=;"
       "extension=0",
       "3200393243F1640000000000"},
      {"51:filter=3;company_prefix=0614141;asset_type=12345;serial=400",
       "3374257BF40C0E4000000190"},
      {"52:filter=3;company_prefix=0614141;asset_reference=5678",
       "3474257BF40000000000162E"},
      {"53:general_manager=31415;object_class=271828;serial=1414",
       "350007AB70425D4000000586"},
      {"256:epc=e28011700000020a1b2c3d01", "E28011700000020A1B2C3D01"},
      // An alphanumeric serial with the write-data escapes.
      {"54:filter=1;company_prefix=123456;item_reference=0123456;"
       "serial=ABCDEFGHIJ!%&_<>?z09",
       "3638789000789020C287122C68F224CA429535F78F9FFA60E400"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    const new_epc n = epc_from_write_data(c.data);
    EXPECT_EQ(hex(n.epc), c.hex);
    EXPECT_EQ(n.tag.id, c.hex);
    EXPECT_EQ(n.tag.format, format_id(n.epc));
  }
}

TEST(EpcField, BadWriteDataIsRefusedWithAMessage) {
  const struct {
    const char* data;
    const char* message;
  } cases[] = {
      {"47:serial=1", "write data: there is no format 47"},
      {"48:lot=1", "write data: format 48 has no field 'lot'"},
      {"48:company_prefix=06141;item_reference=1;serial=1",
       "field 'company_prefix' takes 6 to 12 characters, not 5"},
      {"48:filter=9;company_prefix=0614141;item_reference=812345;serial=1",
       "field 'filter' takes a whole number from 0 to 7"},
      {"48:company_prefix=0614141;item_reference=81234;serial=1",
       "write data: item_reference must have 6 digits with a 7-digit company "
       "prefix, not 5"},
      {"48:company_prefix=0614141;item_reference=812345",
       "write data: sgtin-96 needs serial"},
      {"256:epc=XYZ", "write data: field 'epc' takes hex digits only"},
      {"256:", "write data: the raw format needs epc"},
      {"256:epc=E2801",
       "field 'epc' takes whole 16-bit words (a multiple of "
       "4 hex digits), not 5 digits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    try {
      epc_from_write_data(c.data);
      ADD_FAILURE() << "accepted";
    } catch (const tag_service::input_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace epc

namespace epc {
namespace {

// Odd EPCs: every EPC (bits and length) has an id of its own; ordinary
// EPCs keep their hex as id; one longer than an EPC bank is shown whole,
// with a problem.
TEST(EpcIds, DifferentEpcsNeverShareAnId) {
  std::vector<std::uint8_t> long_a(64, 0xE2);
  std::vector<std::uint8_t> long_b = long_a;
  long_b.back() = 0xE3;  // differs past bit 496
  const std::vector<std::uint8_t> b13(13, 0xA5);
  const std::vector<std::uint8_t> sgtin = {0x30, 0x74, 0x25, 0x7B, 0xF7, 0x19,
                                           0x4E, 0x40, 0x00, 0x00, 0x1A, 0x85};
  const struct {
    std::vector<std::uint8_t> epc;
    std::size_t bits;
    const char* id;  // null: not checked
    bool problem;
  } cases[] = {
      {sgtin, 96, "3074257BF7194E4000001A85", false},
      {b13, 97, "urn:epc:raw:97.xA5A5A5A5A5A5A5A5A5A5A5A58", false},
      {b13, 98, "urn:epc:raw:98.xA5A5A5A5A5A5A5A5A5A5A5A58", false},
      {b13, 100, "A5A5A5A5A5A5A5A5A5A5A5A5A", false},
      {b13, 104, "A5A5A5A5A5A5A5A5A5A5A5A5A5", false},
      {{0xE2, 0x40}, 12, "E24", false},
      {{0xE2, 0x40}, 16, "E240", false},
      {{}, 0, "urn:epc:raw:0.x", false},
      {long_a, 496, nullptr, false},
      {long_a, 504, nullptr, true},
      {long_a, 512, nullptr, true},
      {long_b, 512, nullptr, true},
  };
  std::set<std::string> ids;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits");
    const decoded d = decode(c.epc, c.bits);
    const std::string id = tag_id(d);
    if (c.id) {
      EXPECT_EQ(id, c.id);
    }
    EXPECT_TRUE(ids.insert(id).second) << "shared id " << id;
    EXPECT_EQ(d.bits, c.bits);
    EXPECT_EQ(!d.problem.empty(), c.problem) << d.problem;
  }
}

}  // namespace
}  // namespace epc
