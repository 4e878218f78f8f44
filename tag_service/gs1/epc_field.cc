#include "tag_service/gs1/epc_field.h"

#include <charconv>
#include <string>

#include "tag_service/model/write_data.h"

namespace epc {
namespace {

using tag_service::field_def;
using tag_service::field_text;
using tag_service::tag_format;

field_def number(std::string name, std::int32_t min, std::int32_t max,
                 std::string description, std::string long_description) {
  field_def d;
  d.name = std::move(name);
  d.type = tag_service::field_number;
  d.minimum = min;
  d.maximum = max;
  d.description = std::move(description);
  d.long_description = std::move(long_description);
  return d;
}

field_def text(std::string name, std::int32_t min, std::int32_t max,
               std::string description, std::string long_description) {
  field_def d = number(std::move(name), min, max, std::move(description),
                       std::move(long_description));
  d.type = field_text;
  return d;
}

field_def filter() {
  return number("filter", 0, 7, "Filter value",
                "0 to 7: the kind of object that carries the tag, so that a "
                "reader can pick out, say, pallets among cases (0: all "
                "others).");
}

field_def company_prefix() {
  return text("company_prefix", 6, 12, "GS1 Company Prefix",
              "6 to 12 digits, leading zeros included. Its length sets the "
              "partition and so the digit count of the reference that "
              "follows.");
}

field_def item_reference() {
  return text("item_reference", 1, 7, "Indicator digit and item reference",
              "The GTIN's indicator digit, then its item reference: 13 "
              "digits minus the company prefix's (7-digit prefix: 6 "
              "digits).");
}

tag_format format(scheme s, std::string description, std::int32_t type,
                  std::vector<field_def> fields) {
  tag_format f;
  f.id = header_of(s);
  f.description = std::move(description);
  f.markets = "GS1";
  f.ordinal = f.id;
  f.usages = std::string(scheme_name(s));
  f.tag_type = type;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    fields[k].id = static_cast<std::int32_t>(k + 1);
  }
  f.fields = std::move(fields);
  return f;
}

std::vector<tag_format> make_formats() {
  std::vector<tag_format> out;
  out.push_back(
      format(scheme::sgtin_96,
             "SGTIN-96: serialised trade item (GTIN + serial)", kTypeItem,
             {filter(), company_prefix(), item_reference(),
              text("serial", 1, 12, "Serial number",
                   "A decimal number from 0 to 274877906943, without leading "
                   "zeros.")}));
  out.push_back(format(
      scheme::sscc_96, "SSCC-96: serial shipping container code", kTypeOther,
      {filter(), company_prefix(),
       text("serial_reference", 5, 11, "Extension digit and serial reference",
            "The SSCC's extension digit, then its serial reference: 17 "
            "digits minus the company prefix's (7-digit prefix: 10 "
            "digits).")}));
  out.push_back(format(
      scheme::sgln_96, "SGLN-96: location (GLN + extension)", kTypeLocation,
      {filter(), company_prefix(),
       text("location_reference", 0, 6, "Location reference",
            "12 digits minus the company prefix's (7-digit prefix: 5 "
            "digits); empty with a 12-digit prefix."),
       text("extension", 1, 13, "GLN extension",
            "A decimal number from 0 to 2199023255551, without leading "
            "zeros; 0 means no extension.")}));
  out.push_back(
      format(scheme::grai_96, "GRAI-96: returnable asset (GRAI + serial)",
             kTypeEquipment,
             {filter(), company_prefix(),
              text("asset_type", 0, 6, "Asset type",
                   "12 digits minus the company prefix's (7-digit prefix: 5 "
                   "digits); empty with a 12-digit prefix."),
              text("serial", 1, 12, "Serial number",
                   "A decimal number from 0 to 274877906943, without leading "
                   "zeros.")}));
  out.push_back(format(
      scheme::giai_96, "GIAI-96: individual asset", kTypeEquipment,
      {filter(), company_prefix(),
       text("asset_reference", 1, 19, "Individual asset reference",
            "A decimal number without leading zeros, below 2^42 with a "
            "12-digit company prefix up to below 2^62 with a 6-digit one "
            "(3 more bits for each digit less, 4 from 10 to 9 digits).")}));
  out.push_back(format(
      scheme::gid_96, "GID-96: general identifier", kTypeOther,
      {text("general_manager", 1, 9, "General manager number",
            "A decimal number from 0 to 268435455, without leading zeros."),
       text("object_class", 1, 8, "Object class",
            "A decimal number from 0 to 16777215, without leading zeros."),
       text("serial", 1, 11, "Serial number",
            "A decimal number from 0 to 68719476735, without leading "
            "zeros.")}));
  out.push_back(format(
      scheme::sgtin_198,
      "SGTIN-198: serialised trade item with an alphanumeric serial", kTypeItem,
      {filter(), company_prefix(), item_reference(),
       text("serial", 1, 20, "Serial number",
            "1 to 20 characters: letters, digits and "
            "!\"%&'()*+,-./:;<=>?_ (in write data, ; and = are written "
            "\\; and \\=).")}));
  tag_format raw;
  raw.id = kRawFormatId;
  raw.description = "Raw EPC (no known scheme)";
  raw.markets = "GS1";
  raw.ordinal = kRawFormatId;
  raw.usages = "raw";
  raw.tag_type = kTypeUnknown;
  raw.fields.push_back(
      text("epc", 1, static_cast<std::int32_t>(kMaxEpcBits / 4), "EPC in hex",
           "The EPC as hex digits, 4 bits each, in whole 16-bit words (a "
           "multiple of 4 digits) as a tag's EPC memory holds it."));
  raw.fields.back().id = 1;
  out.push_back(std::move(raw));
  return out;
}

const tag_service::scene& formats_scene() {
  static const tag_service::scene f{epc_formats(), {}};
  return f;
}

}  // namespace

const std::vector<tag_service::tag_format>& epc_formats() {
  static const std::vector<tag_format> formats = make_formats();
  return formats;
}

std::int32_t format_id(const decoded& d) {
  return d.kind == scheme::raw ? kRawFormatId : header_of(d.kind);
}

std::int32_t item_type(const decoded& d) {
  switch (d.kind) {
    case scheme::sgtin_96:
    case scheme::sgtin_198:
      return kTypeItem;
    case scheme::sgln_96:
      return kTypeLocation;
    case scheme::grai_96:
    case scheme::giai_96:
      return kTypeEquipment;
    case scheme::sscc_96:
    case scheme::gid_96:
      return kTypeOther;
    case scheme::raw:
      break;
  }
  return d.all_zero ? kTypeBlank : kTypeUnknown;
}

std::string tag_id(const decoded& d) {
  return d.bits % 4 == 0 && d.bits > 0 ? hex(d) : raw_uri(d);
}

std::string item_id(const decoded& d) {
  return d.kind == scheme::raw ? tag_id(d) : pure_identity_uri(d);
}

tag_service::tag epc_tag(const decoded& d) {
  tag_service::tag t;
  t.id = tag_id(d);
  t.format = format_id(d);
  t.type = item_type(d);
  t.values.reserve(d.fields.size() + 3);
  for (const field& f : d.fields) {
    t.values.push_back({std::string(f.name), f.value, std::nullopt});
  }
  if (d.kind == scheme::raw) {
    t.values.push_back({"epc", hex(d), std::nullopt});
    if (!d.problem.empty()) {
      t.values.push_back({"problem", d.problem, std::nullopt});
    }
  } else if (std::string es = element_string(d); !es.empty()) {
    t.values.push_back({"element_string", std::move(es), std::nullopt});
  }
  t.values.push_back({"tag_uri", tag_uri(d), std::nullopt});
  return t;
}

new_epc epc_from_write_data(std::string_view data) {
  const tag_service::tag given =
      tag_service::parse_write_data(formats_scene(), data);
  std::optional<decoded> d;
  if (given.format == kRawFormatId) {
    const std::string* hex_text =
        given.values.empty() ? nullptr : &given.values.front().value;
    if (hex_text == nullptr) {
      throw tag_service::input_error("write data: the raw format needs epc");
    }
    d = decode_hex(*hex_text);
    if (!d) {
      throw tag_service::input_error(
          "write data: field 'epc' takes hex digits only, not '" + *hex_text +
          "'");
    }
    // A tag's EPC memory holds whole 16-bit words.
    if (hex_text->size() % 4 != 0) {
      throw tag_service::input_error(
          "write data: field 'epc' takes whole 16-bit words (a multiple of 4 "
          "hex digits), not " +
          std::to_string(hex_text->size()) + " digits");
    }
  } else {
    const scheme s = *scheme_of_header(static_cast<std::uint8_t>(given.format));
    // The filter passed the format's number rule ("+3" is 3); the codec takes
    // it as the single digit.
    std::vector<std::string> canonical;
    canonical.reserve(given.values.size());
    std::vector<field_input> inputs;
    for (const tag_service::field_value& v : given.values) {
      std::string value = v.value;
      if (v.name == "filter") {
        int n = 0;
        const char* first = value.data() + (value.front() == '+' ? 1 : 0);
        std::from_chars(first, value.data() + value.size(), n);
        value = std::to_string(n);
      }
      canonical.push_back(std::move(value));
    }
    for (std::size_t k = 0; k < given.values.size(); ++k) {
      inputs.push_back({given.values[k].name, canonical[k]});
    }
    try {
      const std::vector<std::uint8_t> bytes = encode(s, inputs);
      d = decode(bytes, bytes.size() * 8);
    } catch (const encode_error& e) {
      throw tag_service::input_error(std::string("write data: ") + e.what());
    }
  }
  new_epc out{*d, epc_tag(*d)};
  return out;
}

}  // namespace epc
