// The EPC codec: decoding, the texts made from a decoded EPC, encoding.
#include "tag_service/gs1/epc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace epc {
namespace {

// EPCs with what they stand for. The first is the standard's own SGTIN-96
// example; the others are packed by hand from the partition tables, and
// their check digits computed by hand.
struct known_epc {
  const char* hex;
  const char* tag_uri;
  const char* pure_uri;
  const char* element_string;
};
const known_epc kKnown[] = {
    {"3074257BF7194E4000001A85", "urn:epc:tag:sgtin-96:3.0614141.812345.6789",
     "urn:epc:id:sgtin:0614141.812345.6789", "(01)80614141123458(21)6789"},
    // Partition 6: a 6-digit prefix and a 7-digit reference with a leading 0.
    {"303878900078900000000000", "urn:epc:tag:sgtin-96:1.123456.0123456.0",
     "urn:epc:id:sgtin:123456.0123456.0", "(01)01234561234560(21)0"},
    // Partition 0 and the largest serial.
    {"300072FA6468527FFFFFFFFF",
     "urn:epc:tag:sgtin-96:0.123456789012.9.274877906943",
     "urn:epc:id:sgtin:123456789012.9.274877906943",
     "(01)91234567890121(21)274877906943"},
    {"3174257BF4499602D2000000", "urn:epc:tag:sscc-96:3.0614141.1234567890",
     "urn:epc:id:sscc:0614141.1234567890", "(00)106141412345678908"},
    {"3274257BF460720000000190", "urn:epc:tag:sgln-96:3.0614141.12345.400",
     "urn:epc:id:sgln:0614141.12345.400", "(414)0614141123452(254)400"},
    // A 12-digit prefix leaves the location reference empty; extension 0
    // is a GLN without extension.
    {"3200393243F1640000000000", "urn:epc:tag:sgln-96:0.061414112345..0",
     "urn:epc:id:sgln:061414112345..0", "(414)0614141123452"},
    {"3374257BF40C0E4000000190", "urn:epc:tag:grai-96:3.0614141.12345.400",
     "urn:epc:id:grai:0614141.12345.400", "(8003)00614141123452400"},
    {"3340393243F1640000000007", "urn:epc:tag:grai-96:2.061414112345..7",
     "urn:epc:id:grai:061414112345..7", "(8003)006141411234527"},
    {"3474257BF40000000000162E", "urn:epc:tag:giai-96:3.0614141.5678",
     "urn:epc:id:giai:0614141.5678", "(8004)06141415678"},
    {"34D8001EFFFFFFFFFFFFFFFF",
     "urn:epc:tag:giai-96:6.000123.4611686018427387903",
     "urn:epc:id:giai:000123.4611686018427387903",
     "(8004)0001234611686018427387903"},
    {"350007AB70425D4000000586", "urn:epc:tag:gid-96:31415.271828.1414",
     "urn:epc:id:gid:31415.271828.1414", ""},
    // SGTIN-198 in whole 16-bit words; URIs escape what URIs must.
    {"3674257BF7194E59B2C2BF100000000000000000000000000000",
     "urn:epc:tag:sgtin-198:3.0614141.812345.32a%2Fb",
     "urn:epc:id:sgtin:0614141.812345.32a%2Fb", "(01)80614141123458(21)32a/b"},
    {"3638789000789020C287122C68F224CA429535F78F9FFA60E400",
     "urn:epc:tag:sgtin-198:1.123456.0123456.ABCDEFGHIJ!%25%26_%3C%3E%3Fz09",
     "urn:epc:id:sgtin:123456.0123456.ABCDEFGHIJ!%25%26_%3C%3E%3Fz09",
     "(01)01234561234560(21)ABCDEFGHIJ!%&_<>?z09"},
};

decoded from_hex(const char* hex) {
  const std::optional<decoded> d = decode_hex(hex);
  EXPECT_TRUE(d.has_value()) << hex;
  return d.value_or(decoded{});
}

TEST(EpcDecode, KnownEpcsGiveTheirUrisAndElementStrings) {
  for (const known_epc& k : kKnown) {
    SCOPED_TRACE(k.hex);
    const decoded d = from_hex(k.hex);
    EXPECT_NE(d.kind, scheme::raw) << d.problem;
    EXPECT_EQ(hex(d), k.hex);
    EXPECT_EQ(tag_uri(d), k.tag_uri);
    EXPECT_EQ(pure_identity_uri(d), k.pure_uri);
    EXPECT_EQ(element_string(d), k.element_string);
    ASSERT_EQ(d.fields.size(), field_names(d.kind).size());
    for (std::size_t i = 0; i < d.fields.size(); ++i) {
      EXPECT_EQ(d.fields[i].name, field_names(d.kind)[i]);
    }
  }
}

TEST(EpcDecode, FilterAndPartitionComeOutForSchemesThatHaveThem) {
  const decoded sgtin = from_hex(kKnown[0].hex);
  EXPECT_EQ(sgtin.filter, 3);
  EXPECT_EQ(sgtin.partition, 5);
  EXPECT_EQ(*sgtin.value("company_prefix"), "0614141");
  EXPECT_EQ(sgtin.value("asset_type"), nullptr);
  const decoded gid = from_hex(kKnown[10].hex);
  EXPECT_FALSE(gid.filter.has_value());
  EXPECT_FALSE(gid.partition.has_value());
}

// An EPC that breaks its scheme's rules is shown raw, with the reason; two
// different EPCs must never decode to the same identity.
TEST(EpcDecode, BrokenEpcsComeBackRawWithTheReason) {
  const struct {
    const char* hex;
    const char* problem;
  } cases[] = {
      {"30FC257BF7194E4000001A85", "partition 7 is reserved"},
      // Partition 5: 24 bits of prefix hold 16777215, more than 7 digits.
      {"3077FFFFFF194E4000001A85", "company prefix 16777215 has more than 7"},
      // Partition 5: 20 bits of item reference hold 1048575 (> 6 digits).
      {"307400003FFFFFC000001A85", "item_reference 1048575 has more than 6"},
      // SGLN with a 12-digit prefix: the 1-bit location reference must be 0.
      {"3200393243F1660000000000", "location_reference 1 has more than 0"},
      {"3174257BF4499602D2000001", "reserved bits are not zero"},
      {"3074257BF7194E4000001A8500", "sgtin-96 needs 96 bits, the EPC has 104"},
      {"3074257BF7194E4000001A", "needs 96 bits, the EPC has 88"},
      // SGTIN-198: padding that is not zero, a serial that goes on after
      // its end, a character outside the set (35, '#'), an empty serial.
      {"3674257BF7194E59B2C2BF100000000000000000000000000001",
       "sgtin-198 needs 198 bits, the EPC has 208 and they are not zero"},
      {"3674257BF7194E59B2C2BF100000000000000000000000000000000000",
       "sgtin-198 needs 198 bits, the EPC has 232"},
      {"3674257BF7194E59B20104000000000000000000000000000000",
       "the serial has characters after its end"},
      {"3674257BF7194E51B10000000000000000000000000000000000",
       "the serial holds character 35"},
      {"3674257BF7194E40000000000000000000000000000000000000",
       "the serial is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    const decoded d = from_hex(c.hex);
    EXPECT_EQ(d.kind, scheme::raw);
    EXPECT_NE(d.problem.find(c.problem), std::string::npos) << d.problem;
    EXPECT_TRUE(d.fields.empty());
    EXPECT_FALSE(d.all_zero);
    EXPECT_EQ(pure_identity_uri(d), "");
    EXPECT_EQ(element_string(d), "");
    EXPECT_EQ(tag_uri(d), "urn:epc:raw:" + std::to_string(d.bits) + ".x" +
                              std::string(c.hex));
  }
}

TEST(EpcDecode, UnknownHeadersAndBlankTagsAreRawWithoutAProblem) {
  const struct {
    const char* hex;
    bool all_zero;
  } cases[] = {
      {"E28011700000020A1B2C3D01", false},
      {"2F0000000000000000000001", false},
      {"000000000000000000000000", true},
      {"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    const decoded d = from_hex(c.hex);
    EXPECT_EQ(d.kind, scheme::raw);
    EXPECT_EQ(d.problem, "");
    EXPECT_EQ(d.all_zero, c.all_zero);
    EXPECT_EQ(hex(d), c.hex);
  }
}

TEST(EpcDecode, SgtinWithAlphanumericSerialComesInWholeBytesOrWords) {
  const decoded bytes = from_hex(
      "3638789000789020C287122C68F224CA429535F78F9FFA60E4");  // 200 bits
  EXPECT_EQ(bytes.kind, scheme::sgtin_198) << bytes.problem;
  EXPECT_EQ(tag_uri(bytes), kKnown[12].tag_uri);
  // Encoded again, it comes in whole 16-bit words.
  std::vector<field_input> in;
  for (const field& f : bytes.fields) in.push_back({f.name, f.value});
  EXPECT_EQ(encode(bytes.kind, in), from_hex(kKnown[12].hex).bytes);
}

TEST(EpcDecode, TakesOnlyTheBitsItIsGiven) {
  const std::vector<std::uint8_t> bytes = {0x30, 0x74, 0x25, 0x7B, 0xF7,
                                           0x19, 0x4E, 0x40, 0x00, 0x00,
                                           0x1A, 0x85, 0xFF, 0xFF};
  // Trailing bytes past the length are not part of the EPC.
  EXPECT_EQ(tag_uri(decode(bytes, 96)), kKnown[0].tag_uri);
  // A length beyond the bytes is cut to the bytes.
  EXPECT_EQ(decode(std::span(bytes).first(12), 200).bits, 96u);
  // Bits past the length in the last byte are cleared, not shown.
  const decoded odd = decode(bytes, 10);
  EXPECT_EQ(hex(odd), "304");
  EXPECT_EQ(odd.bytes, (std::vector<std::uint8_t>{0x30, 0x40}));
  EXPECT_EQ(tag_uri(odd), "urn:epc:raw:10.x304");
  // Longer than an EPC bank holds: whole, raw, and said so.
  const decoded long_one = decode(std::vector<std::uint8_t>(100, 0x30), 800);
  EXPECT_EQ(long_one.bits, 800u);
  EXPECT_EQ(long_one.kind, scheme::raw);
  EXPECT_NE(long_one.problem.find("more than the 496"), std::string::npos);
}

// SGTIN-96 with partition p: a company prefix or item reference one past
// its digits is raw, the largest that fits decodes.
TEST(EpcDecode, PrefixAndReferenceOfExactlyTenToTheDigitsAreRaw) {
  const struct {
    unsigned prefix_bits, prefix_digits, reference_bits, reference_digits;
  } partitions[] = {{40, 12, 4, 1}, {37, 11, 7, 2}, {34, 10, 10, 3},
                    {30, 9, 14, 4}, {27, 8, 17, 5}, {24, 7, 20, 6},
                    {20, 6, 24, 7}};
  const auto pow10 = [](unsigned n) {
    std::uint64_t v = 1;
    while (n-- > 0) v *= 10;
    return v;
  };
  // header 0x30, filter 1, partition, prefix, reference, serial 5.
  const auto pack = [](unsigned partition, unsigned pbits, std::uint64_t prefix,
                       unsigned rbits, std::uint64_t reference) {
    std::vector<std::uint8_t> b(12, 0);
    std::size_t pos = 0;
    const auto put = [&](std::uint64_t v, unsigned n) {
      for (unsigned k = 0; k < n; ++k, ++pos) {
        if ((v >> (n - 1 - k)) & 1)
          b[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
      }
    };
    put(0x30, 8);
    put(1, 3);
    put(partition, 3);
    put(prefix, pbits);
    put(reference, rbits);
    put(5, 38);
    return b;
  };
  for (unsigned p = 0; p < 7; ++p) {
    const auto& row = partitions[p];
    const std::uint64_t top_prefix = pow10(row.prefix_digits);
    const std::uint64_t top_reference = pow10(row.reference_digits);
    const struct {
      std::uint64_t prefix, reference;
      const char* problem;  // null: decodes
    } cases[] = {
        {top_prefix - 1, top_reference - 1, nullptr},
        {top_prefix, 0, "company prefix"},
        {0, top_reference, "item_reference"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE("partition " + std::to_string(p) + " prefix " +
                   std::to_string(c.prefix) + " reference " +
                   std::to_string(c.reference));
      const decoded d = decode(
          pack(p, row.prefix_bits, c.prefix, row.reference_bits, c.reference),
          96);
      if (c.problem == nullptr) {
        EXPECT_EQ(d.kind, scheme::sgtin_96) << d.problem;
        EXPECT_EQ(*d.value("company_prefix"), std::to_string(c.prefix));
      } else {
        EXPECT_EQ(d.kind, scheme::raw);
        EXPECT_NE(d.problem.find(c.problem), std::string::npos) << d.problem;
      }
    }
  }
}

TEST(EpcDecode, HexTextMustBeHex) {
  EXPECT_TRUE(decode_hex("3074257bf7194e4000001a85").has_value());
  for (const char* bad : {"30 74", "0x3074", "307G", "-1"}) {
    EXPECT_FALSE(decode_hex(bad).has_value()) << bad;
  }
  EXPECT_FALSE(decode_hex(std::string(kMaxEpcBits / 4 + 1, '0')).has_value());
}

std::vector<field_input> inputs_of(const decoded& d) {
  std::vector<field_input> in;
  for (const field& f : d.fields) in.push_back({f.name, f.value});
  return in;
}

TEST(EpcEncode, EncodesWhatItDecodes) {
  for (const known_epc& k : kKnown) {
    SCOPED_TRACE(k.hex);
    const decoded d = from_hex(k.hex);
    EXPECT_EQ(encode(d.kind, inputs_of(d)), d.bytes);
  }
}

TEST(EpcEncode, FilterDefaultsToZero) {
  const field_input in[] = {{"company_prefix", "0614141"},
                            {"serial_reference", "1234567890"}};
  const decoded d = decode(encode(scheme::sscc_96, in), 96);
  EXPECT_EQ(tag_uri(d), "urn:epc:tag:sscc-96:0.0614141.1234567890");
}

TEST(EpcEncode, RefusalsSayWhatIsWrong) {
  using in = std::vector<field_input>;
  const in sgtin = {{"filter", "3"},
                    {"company_prefix", "0614141"},
                    {"item_reference", "812345"}};
  const auto with = [](in fields, field_input extra) {
    fields.push_back(extra);
    return fields;
  };
  const struct {
    scheme kind;
    in fields;
    const char* message;
  } cases[] = {
      {scheme::raw, {}, "raw EPCs have no fields"},
      {scheme::sgtin_96, with(sgtin, {"lot", "1"}),
       "sgtin-96 has no field 'lot' (its fields: filter, company_prefix, "
       "item_reference, serial)"},
      {scheme::sgtin_96, with(sgtin, {"filter", "3"}), "filter is given twice"},
      {scheme::sgtin_96, sgtin, "sgtin-96 needs serial"},
      {scheme::sgtin_96,
       {{"filter", "8"},
        {"company_prefix", "0614141"},
        {"item_reference", "812345"},
        {"serial", "1"}},
       "filter must be a number from 0 to 7, not '8'"},
      {scheme::sgtin_96,
       {{"company_prefix", "06141"}, {"item_reference", "1"}, {"serial", "1"}},
       "company_prefix must have 6 to 12 digits (its length gives the "
       "partition), not 5"},
      {scheme::sgtin_96,
       {{"company_prefix", "06141a1"},
        {"item_reference", "812345"},
        {"serial", "1"}},
       "company_prefix must be digits only, not '06141a1'"},
      {scheme::sgtin_96,
       {{"company_prefix", "0614141"},
        {"item_reference", "81234"},
        {"serial", "1"}},
       "item_reference must have 6 digits with a 7-digit company prefix, not "
       "5"},
      {scheme::sgtin_96,
       {{"company_prefix", "0614141"},
        {"item_reference", "8123x5"},
        {"serial", "1"}},
       "item_reference must be digits only"},
      {scheme::sgtin_96, with(sgtin, {"serial", "274877906944"}),
       "serial must be at most 274877906943 (38 bits), not 274877906944"},
      {scheme::sgtin_96, with(sgtin, {"serial", "99999999999999999999999"}),
       "serial must be at most 274877906943"},
      {scheme::sgtin_96, with(sgtin, {"serial", "0042"}),
       "serial must not start with 0 (it is a number)"},
      {scheme::sgtin_96, with(sgtin, {"serial", ""}),
       "serial must be a decimal number, not ''"},
      {scheme::sgln_96,
       {{"company_prefix", "061414112345"},
        {"location_reference", "0"},
        {"extension", "0"}},
       "location_reference must have 0 digits with a 12-digit company "
       "prefix, not 1"},
      {scheme::giai_96,
       {{"company_prefix", "061414112345"},
        {"asset_reference", "4398046511104"}},
       "asset_reference must be at most 4398046511103 (42 bits with a "
       "12-digit company prefix)"},
      {scheme::gid_96,
       {{"general_manager", "268435456"},
        {"object_class", "1"},
        {"serial", "1"}},
       "general_manager must be at most 268435455 (28 bits)"},
      {scheme::gid_96,
       {{"general_manager", "1"}, {"object_class", "1"}, {"filter", "1"}},
       "gid-96 has no field 'filter'"},
      {scheme::sgtin_198, with(sgtin, {"serial", "123456789012345678901"}),
       "serial must have 1 to 20 characters, not 21"},
      {scheme::sgtin_198, with(sgtin, {"serial", ""}),
       "serial must have 1 to 20 characters, not 0"},
      {scheme::sgtin_198, with(sgtin, {"serial", "A#1"}),
       "serial may hold letters, digits and !\"%&'()*+,-./:;<=>?_ only, not "
       "'#'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      encode(c.kind, c.fields);
      ADD_FAILURE() << "encoded";
    } catch (const encode_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << e.what();
    }
  }
}

TEST(EpcSchemes, NamesAndHeadersMatchBothWays) {
  for (scheme s :
       {scheme::sgtin_96, scheme::sscc_96, scheme::sgln_96, scheme::grai_96,
        scheme::giai_96, scheme::gid_96, scheme::sgtin_198}) {
    EXPECT_EQ(scheme_of_header(header_of(s)), s);
    EXPECT_EQ(scheme_named(scheme_name(s)), s);
  }
  EXPECT_EQ(scheme_named("SGTIN-96"), scheme::sgtin_96);
  EXPECT_EQ(scheme_named("sgtin"), std::nullopt);
  EXPECT_EQ(scheme_of_header(0x2F), std::nullopt);
  EXPECT_EQ(scheme_of_header(0x37), std::nullopt);
}

}  // namespace
}  // namespace epc
