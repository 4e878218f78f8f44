#include "tag_service/gs1/epc.h"

#include <algorithm>
#include <array>
#include <string>

namespace epc {
namespace {

// One row of a partition table: how the 12 (or 13, 17) digits of company
// prefix plus reference share their bits.
struct partition_row {
  std::uint8_t prefix_bits;
  std::uint8_t prefix_digits;
  std::uint8_t reference_bits;
  std::uint8_t reference_digits;  // exact count; for integers the most
};
using partition_table = std::array<partition_row, 7>;

constexpr partition_table kSgtinPartitions{{{40, 12, 4, 1},
                                            {37, 11, 7, 2},
                                            {34, 10, 10, 3},
                                            {30, 9, 14, 4},
                                            {27, 8, 17, 5},
                                            {24, 7, 20, 6},
                                            {20, 6, 24, 7}}};
constexpr partition_table kSsccPartitions{{{40, 12, 18, 5},
                                           {37, 11, 21, 6},
                                           {34, 10, 24, 7},
                                           {30, 9, 28, 8},
                                           {27, 8, 31, 9},
                                           {24, 7, 34, 10},
                                           {20, 6, 38, 11}}};
constexpr partition_table kSglnPartitions{{{40, 12, 1, 0},
                                           {37, 11, 4, 1},
                                           {34, 10, 7, 2},
                                           {30, 9, 11, 3},
                                           {27, 8, 14, 4},
                                           {24, 7, 17, 5},
                                           {20, 6, 21, 6}}};
constexpr partition_table kGraiPartitions{{{40, 12, 4, 0},
                                           {37, 11, 7, 1},
                                           {34, 10, 10, 2},
                                           {30, 9, 14, 3},
                                           {27, 8, 17, 4},
                                           {24, 7, 20, 5},
                                           {20, 6, 24, 6}}};
constexpr partition_table kGiaiPartitions{{{40, 12, 42, 13},
                                           {37, 11, 45, 14},
                                           {34, 10, 48, 15},
                                           {30, 9, 52, 16},
                                           {27, 8, 55, 17},
                                           {24, 7, 58, 18},
                                           {20, 6, 62, 19}}};

constexpr std::string_view kSgtinNames[] = {"filter", "company_prefix",
                                            "item_reference", "serial"};
constexpr std::string_view kSsccNames[] = {"filter", "company_prefix",
                                           "serial_reference"};
constexpr std::string_view kSglnNames[] = {"filter", "company_prefix",
                                           "location_reference", "extension"};
constexpr std::string_view kGraiNames[] = {"filter", "company_prefix",
                                           "asset_type", "serial"};
constexpr std::string_view kGiaiNames[] = {"filter", "company_prefix",
                                           "asset_reference"};
constexpr std::string_view kGidNames[] = {"general_manager", "object_class",
                                          "serial"};

// The 96-bit schemes with filter and partition share one layout: header 8,
// filter 3, partition 3, company prefix and reference (as the table says),
// then an integer (serial, extension: serial_bits) or reserved zero bits.
struct scheme_info {
  scheme kind;
  std::uint8_t header;
  std::string_view name;              // in the tag URI
  std::string_view id_name;           // in the pure identity URI
  const partition_table* partitions;  // nullptr: GID
  bool reference_is_integer;          // GIAI: no fixed digit count
  std::uint8_t serial_bits;           // 0: none
  std::uint8_t serial_chars;          // 7-bit characters; 0: none
  std::uint8_t reserved_bits;
  std::uint16_t bits;  // length of the encoding
  std::span<const std::string_view> names;
};

constexpr scheme_info kSchemes[] = {
    {scheme::sgtin_96, 0x30, "sgtin-96", "sgtin", &kSgtinPartitions, false, 38,
     0, 0, 96, kSgtinNames},
    {scheme::sscc_96, 0x31, "sscc-96", "sscc", &kSsccPartitions, false, 0, 0,
     24, 96, kSsccNames},
    {scheme::sgln_96, 0x32, "sgln-96", "sgln", &kSglnPartitions, false, 41, 0,
     0, 96, kSglnNames},
    {scheme::grai_96, 0x33, "grai-96", "grai", &kGraiPartitions, false, 38, 0,
     0, 96, kGraiNames},
    {scheme::giai_96, 0x34, "giai-96", "giai", &kGiaiPartitions, true, 0, 0, 0,
     96, kGiaiNames},
    {scheme::gid_96, 0x35, "gid-96", "gid", nullptr, false, 0, 0, 0, 96,
     kGidNames},
    {scheme::sgtin_198, 0x36, "sgtin-198", "sgtin", &kSgtinPartitions, false, 0,
     20, 0, 198, kSgtinNames},
};

// GID-96: general manager, object class and serial, all integers.
constexpr std::uint8_t kGidBits[] = {28, 24, 36};

const scheme_info* info_of(scheme s) {
  for (const scheme_info& i : kSchemes) {
    if (i.kind == s) return &i;
  }
  return nullptr;
}

const scheme_info* info_of_header(std::uint8_t header) {
  if (header < 0x30 || header > 0x36) return nullptr;
  return &kSchemes[header - 0x30];
}

constexpr std::uint64_t kPowersOf10[] = {1ull,
                                         10ull,
                                         100ull,
                                         1000ull,
                                         10000ull,
                                         100000ull,
                                         1000000ull,
                                         10000000ull,
                                         100000000ull,
                                         1000000000ull,
                                         10000000000ull,
                                         100000000000ull,
                                         1000000000000ull,
                                         10000000000000ull,
                                         100000000000000ull,
                                         1000000000000000ull,
                                         10000000000000000ull,
                                         100000000000000000ull,
                                         1000000000000000000ull,
                                         10000000000000000000ull};

// Reads n (at most 64) bits from bit position pos, most significant first.
std::uint64_t read_bits(std::span<const std::uint8_t> bytes, std::size_t pos,
                        unsigned n) {
  std::uint64_t v = 0;
  while (n > 0) {
    const unsigned offset = pos % 8;
    const unsigned take = std::min(8u - offset, n);
    const unsigned chunk =
        (bytes[pos / 8] >> (8 - offset - take)) & ((1u << take) - 1);
    v = (v << take) | chunk;
    pos += take;
    n -= take;
  }
  return v;
}

void write_bits(std::vector<std::uint8_t>& bytes, std::size_t pos, unsigned n,
                std::uint64_t v) {
  for (unsigned k = 0; k < n; ++k, ++pos) {
    if ((v >> (n - 1 - k)) & 1) {
      bytes[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
    }
  }
}

// Decimal digits of v, at least `width` of them (zero-padded).
std::string digits(std::uint64_t v, unsigned width = 1) {
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (end - p < static_cast<std::ptrdiff_t>(width)) *--p = '0';
  return std::string(p, end);
}

// The characters an alphanumeric serial may hold (GS1's set of 82).
bool is_serial_char(unsigned c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '%' && c <= '?') || c == '!' || c == '"' || c == '_';
}

// Appends a field value to a URI; the characters with a meaning in URIs
// are written as %-escapes.
void append_uri_part(std::string& out, std::string_view v) {
  for (char c : v) {
    switch (c) {
      case '"':
      case '%':
      case '&':
      case '/':
      case '<':
      case '>':
      case '?': {
        static constexpr char kHex[] = "0123456789ABCDEF";
        const auto u = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[u >> 4];
        out += kHex[u & 0x0F];
        break;
      }
      default:
        out += c;
    }
  }
}

decoded raw_because(decoded d, std::string problem) {
  d.kind = scheme::raw;
  d.filter.reset();
  d.partition.reset();
  d.fields.clear();
  d.problem = std::move(problem);
  return d;
}

decoded decode_partitioned(decoded d, const scheme_info& s) {
  const std::span<const std::uint8_t> b = d.bytes;
  const auto filter = static_cast<std::uint8_t>(read_bits(b, 8, 3));
  const auto partition = static_cast<std::uint8_t>(read_bits(b, 11, 3));
  if (partition > 6) {
    return raw_because(std::move(d),
                       "partition " + digits(partition) + " is reserved");
  }
  const partition_row& row = (*s.partitions)[partition];
  std::size_t pos = 14;
  const std::uint64_t prefix = read_bits(b, pos, row.prefix_bits);
  pos += row.prefix_bits;
  const std::uint64_t reference = read_bits(b, pos, row.reference_bits);
  pos += row.reference_bits;
  if (prefix >= kPowersOf10[row.prefix_digits]) {
    return raw_because(std::move(d), "the company prefix " + digits(prefix) +
                                         " has more than " +
                                         digits(row.prefix_digits) + " digits");
  }
  if (!s.reference_is_integer &&
      reference >= kPowersOf10[row.reference_digits]) {
    return raw_because(std::move(d), "the " + std::string(s.names[2]) + " " +
                                         digits(reference) + " has more than " +
                                         digits(row.reference_digits) +
                                         " digits");
  }
  d.fields.reserve(s.names.size());
  d.fields.push_back({s.names[0], digits(filter)});
  d.fields.push_back({s.names[1], digits(prefix, row.prefix_digits)});
  if (s.reference_is_integer) {
    d.fields.push_back({s.names[2], digits(reference)});
  } else {
    d.fields.push_back(
        {s.names[2], row.reference_digits == 0
                         ? std::string()
                         : digits(reference, row.reference_digits)});
  }
  if (s.serial_bits > 0) {
    d.fields.push_back({s.names[3], digits(read_bits(b, pos, s.serial_bits))});
    pos += s.serial_bits;
  }
  if (s.serial_chars > 0) {
    // Characters up to the first 0; every bit after it is 0 too.
    std::string serial;
    std::size_t k = 0;
    for (; k < s.serial_chars; ++k, pos += 7) {
      const auto c = static_cast<unsigned>(read_bits(b, pos, 7));
      if (c == 0) break;
      if (!is_serial_char(c)) {
        return raw_because(std::move(d), "the serial holds character " +
                                             digits(c) +
                                             ", which a serial may not");
      }
      serial += static_cast<char>(c);
    }
    if (serial.empty()) {
      return raw_because(std::move(d), "the serial is empty");
    }
    for (; k < s.serial_chars; ++k, pos += 7) {
      if (read_bits(b, pos, 7) != 0) {
        return raw_because(std::move(d),
                           "the serial has characters after its end");
      }
    }
    d.fields.push_back({s.names[3], std::move(serial)});
  }
  if (s.reserved_bits > 0 && read_bits(b, pos, s.reserved_bits) != 0) {
    return raw_because(std::move(d), "the reserved bits are not zero");
  }
  d.filter = filter;
  d.partition = partition;
  return d;
}

decoded decode_gid(decoded d) {
  const std::span<const std::uint8_t> b = d.bytes;
  std::size_t pos = 8;
  d.fields.reserve(3);
  for (std::size_t k = 0; k < 3; ++k) {
    d.fields.push_back({kGidNames[k], digits(read_bits(b, pos, kGidBits[k]))});
    pos += kGidBits[k];
  }
  return d;
}

const std::string& field_value(const decoded& d, std::size_t k) {
  return d.fields[k].value;
}

}  // namespace

char check_digit(std::string_view ds) {
  unsigned sum = 0;
  bool three = true;
  for (auto it = ds.rbegin(); it != ds.rend(); ++it, three = !three) {
    sum += static_cast<unsigned>(*it - '0') * (three ? 3 : 1);
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::uint8_t header_of(scheme s) {
  const scheme_info* i = info_of(s);
  return i == nullptr ? 0 : i->header;
}

std::optional<scheme> scheme_of_header(std::uint8_t header) {
  const scheme_info* i = info_of_header(header);
  if (i == nullptr) return std::nullopt;
  return i->kind;
}

std::string_view scheme_name(scheme s) {
  const scheme_info* i = info_of(s);
  return i == nullptr ? "raw" : i->name;
}

std::optional<scheme> scheme_named(std::string_view name) {
  const auto same = [](std::string_view a, std::string_view b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
          const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
          };
          return lower(x) == lower(y);
        });
  };
  if (same(name, "raw")) return scheme::raw;
  for (const scheme_info& i : kSchemes) {
    if (same(name, i.name)) return i.kind;
  }
  return std::nullopt;
}

std::span<const std::string_view> field_names(scheme s) {
  const scheme_info* i = info_of(s);
  return i == nullptr ? std::span<const std::string_view>() : i->names;
}

const std::string* decoded::value(std::string_view name) const {
  for (const field& f : fields) {
    if (f.name == name) return &f.value;
  }
  return nullptr;
}

decoded decode(std::span<const std::uint8_t> epc, std::size_t bits) {
  bits = std::min(bits, epc.size() * 8);
  decoded d;
  d.bits = bits;
  d.bytes.assign(epc.begin(), epc.begin() + (bits + 7) / 8);
  if (bits % 8 != 0) {
    d.bytes.back() &= static_cast<std::uint8_t>(0xFF << (8 - bits % 8));
  }
  d.all_zero = std::all_of(d.bytes.begin(), d.bytes.end(),
                           [](std::uint8_t x) { return x == 0; });
  if (bits < 8) return d;
  d.header = d.bytes[0];
  if (bits > kMaxEpcBits) {
    return raw_because(std::move(d),
                       "the EPC has " + digits(bits) + " bits, more than the " +
                           digits(kMaxEpcBits) + " an EPC bank holds");
  }
  const scheme_info* s = info_of_header(d.header);
  if (s == nullptr) return d;
  // The encoding, then at most zero padding to the next 16-bit word.
  const std::size_t words = (s->bits + 15) / 16 * 16;
  if (bits < s->bits || bits > words ||
      (bits > s->bits &&
       read_bits(d.bytes, s->bits, static_cast<unsigned>(bits - s->bits)) !=
           0)) {
    return raw_because(
        std::move(d),
        std::string(s->name) + " needs " + digits(s->bits) +
            " bits, the EPC has " + digits(bits) +
            (bits > s->bits && bits <= words ? " and they are not zero" : ""));
  }
  d.kind = s->kind;
  return s->partitions == nullptr ? decode_gid(std::move(d))
                                  : decode_partitioned(std::move(d), *s);
}

std::optional<decoded> decode_hex(std::string_view text) {
  if (text.size() * 4 > kMaxEpcBits) return std::nullopt;
  std::vector<std::uint8_t> bytes((text.size() + 1) / 2, 0);
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[k];
    unsigned v = 0;
    if (c >= '0' && c <= '9') {
      v = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      v = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      v = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    bytes[k / 2] |= static_cast<std::uint8_t>(k % 2 == 0 ? v << 4 : v);
  }
  return decode(bytes, text.size() * 4);
}

std::string hex(const decoded& d) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out((d.bits + 3) / 4, '0');
  for (std::size_t k = 0; k < out.size(); ++k) {
    const std::uint8_t byte = d.bytes[k / 2];
    out[k] = kDigits[k % 2 == 0 ? byte >> 4 : byte & 0x0F];
  }
  return out;
}

std::string pure_identity_uri(const decoded& d) {
  const scheme_info* s = info_of(d.kind);
  if (s == nullptr) return {};
  std::string out = "urn:epc:id:";
  out += s->id_name;
  out += ':';
  // Every field after the filter, dot-separated.
  const std::size_t first = s->partitions == nullptr ? 0 : 1;
  for (std::size_t k = first; k < d.fields.size(); ++k) {
    if (k > first) out += '.';
    append_uri_part(out, d.fields[k].value);
  }
  return out;
}

std::string raw_uri(const decoded& d) {
  return "urn:epc:raw:" + digits(d.bits) + ".x" + hex(d);
}

std::string tag_uri(const decoded& d) {
  const scheme_info* s = info_of(d.kind);
  if (s == nullptr) return raw_uri(d);
  std::string out = "urn:epc:tag:";
  out += s->name;
  out += ':';
  for (std::size_t k = 0; k < d.fields.size(); ++k) {
    if (k > 0) out += '.';
    append_uri_part(out, d.fields[k].value);
  }
  return out;
}

std::string element_string(const decoded& d) {
  // Field 1 is the company prefix, field 2 the reference, field 3 the
  // serial or extension.
  const auto with_check = [](std::string ds) {
    ds += check_digit(ds);
    return ds;
  };
  switch (d.kind) {
    case scheme::sgtin_96:
    case scheme::sgtin_198: {
      // GTIN-14: the indicator (first digit of the item reference), the
      // company prefix, the rest of the item reference, the check digit.
      const std::string& ref = field_value(d, 2);
      return "(01)" +
             with_check(ref.substr(0, 1) + field_value(d, 1) + ref.substr(1)) +
             "(21)" + field_value(d, 3);
    }
    case scheme::sscc_96: {
      const std::string& ref = field_value(d, 2);
      return "(00)" +
             with_check(ref.substr(0, 1) + field_value(d, 1) + ref.substr(1));
    }
    case scheme::sgln_96: {
      // Extension 0 stands for a GLN without extension.
      std::string out =
          "(414)" + with_check(field_value(d, 1) + field_value(d, 2));
      if (field_value(d, 3) != "0") out += "(254)" + field_value(d, 3);
      return out;
    }
    case scheme::grai_96:
      // The GRAI starts with a 0 before its 13 digits with check digit.
      return "(8003)0" + with_check(field_value(d, 1) + field_value(d, 2)) +
             field_value(d, 3);
    case scheme::giai_96:
      return "(8004)" + field_value(d, 1) + field_value(d, 2);
    case scheme::gid_96:
    case scheme::raw:
      break;
  }
  return {};
}

namespace {

bool all_digits(std::string_view v) {
  return std::all_of(v.begin(), v.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t to_number(std::string_view v) {
  std::uint64_t n = 0;
  for (char c : v) n = n * 10 + static_cast<std::uint64_t>(c - '0');
  return n;
}

// A decimal integer below 2^bits, without leading zeros.
std::uint64_t integer_field(std::string_view name, std::string_view v,
                            unsigned bits, std::string_view context = {}) {
  const std::uint64_t limit = (std::uint64_t{1} << bits) - 1;
  const std::string what(name);
  if (v.empty() || !all_digits(v)) {
    throw encode_error(what + " must be a decimal number, not '" +
                       std::string(v) + "'");
  }
  if (v.size() > 1 && v.front() == '0') {
    throw encode_error(what + " must not start with 0 (it is a number)");
  }
  if (v.size() > 19 || to_number(v) > limit) {
    throw encode_error(what + " must be at most " + digits(limit) + " (" +
                       digits(bits) + " bits" + std::string(context) +
                       "), not " + std::string(v));
  }
  return to_number(v);
}

}  // namespace

std::vector<std::uint8_t> encode(scheme kind,
                                 std::span<const field_input> fields) {
  const scheme_info* s = info_of(kind);
  if (s == nullptr) {
    throw encode_error("raw EPCs have no fields to encode");
  }
  // The given value of each of the scheme's fields, by position.
  std::array<std::optional<std::string_view>, 4> given;
  for (const field_input& f : fields) {
    const auto it = std::find(s->names.begin(), s->names.end(), f.name);
    if (it == s->names.end()) {
      std::string names;
      for (std::string_view n : s->names) {
        names += names.empty() ? "" : ", ";
        names += n;
      }
      throw encode_error(std::string(s->name) + " has no field '" +
                         std::string(f.name) + "' (its fields: " + names + ")");
    }
    auto& slot = given[static_cast<std::size_t>(it - s->names.begin())];
    if (slot) {
      throw encode_error(std::string(f.name) + " is given twice");
    }
    slot = f.value;
  }
  const std::size_t first_required = s->partitions == nullptr ? 0 : 1;
  for (std::size_t k = first_required; k < s->names.size(); ++k) {
    if (!given[k]) {
      throw encode_error(std::string(s->name) + " needs " +
                         std::string(s->names[k]));
    }
  }

  std::vector<std::uint8_t> out((s->bits + 15) / 16 * 2, 0);
  write_bits(out, 0, 8, s->header);
  if (s->partitions == nullptr) {
    std::size_t pos = 8;
    for (std::size_t k = 0; k < 3; ++k) {
      write_bits(out, pos, kGidBits[k],
                 integer_field(s->names[k], *given[k], kGidBits[k]));
      pos += kGidBits[k];
    }
    return out;
  }

  const std::string_view filter = given[0].value_or("0");
  if (filter.size() != 1 || filter[0] < '0' || filter[0] > '7') {
    throw encode_error("filter must be a number from 0 to 7, not '" +
                       std::string(filter) + "'");
  }
  const std::string_view prefix = *given[1];
  if (!all_digits(prefix)) {
    throw encode_error("company_prefix must be digits only, not '" +
                       std::string(prefix) + "'");
  }
  if (prefix.size() < 6 || prefix.size() > 12) {
    throw encode_error(
        "company_prefix must have 6 to 12 digits (its length gives the "
        "partition), not " +
        digits(prefix.size()));
  }
  const auto partition = static_cast<unsigned>(12 - prefix.size());
  const partition_row& row = (*s->partitions)[partition];
  const std::string_view ref = *given[2];
  const std::string ref_name(s->names[2]);
  const std::string context =
      " with a " + digits(prefix.size()) + "-digit company prefix";
  std::uint64_t reference = 0;
  if (s->reference_is_integer) {
    reference = integer_field(s->names[2], ref, row.reference_bits, context);
  } else {
    if (!all_digits(ref)) {
      throw encode_error(ref_name + " must be digits only, not '" +
                         std::string(ref) + "'");
    }
    if (ref.size() != row.reference_digits) {
      throw encode_error(ref_name + " must have " +
                         digits(row.reference_digits) + " digits" + context +
                         ", not " + digits(ref.size()));
    }
    reference = to_number(ref);
  }
  write_bits(out, 8, 3, static_cast<std::uint64_t>(filter[0] - '0'));
  write_bits(out, 11, 3, partition);
  std::size_t pos = 14;
  write_bits(out, pos, row.prefix_bits, to_number(prefix));
  pos += row.prefix_bits;
  write_bits(out, pos, row.reference_bits, reference);
  pos += row.reference_bits;
  if (s->serial_bits > 0) {
    write_bits(out, pos, s->serial_bits,
               integer_field(s->names[3], *given[3], s->serial_bits));
  }
  if (s->serial_chars > 0) {
    const std::string_view serial = *given[3];
    if (serial.empty() || serial.size() > s->serial_chars) {
      throw encode_error("serial must have 1 to " + digits(s->serial_chars) +
                         " characters, not " + digits(serial.size()));
    }
    for (char c : serial) {
      if (!is_serial_char(static_cast<unsigned char>(c))) {
        throw encode_error(
            "serial may hold letters, digits and !\"%&'()*+,-./:;<=>?_ "
            "only, not '" +
            std::string(1, c) + "'");
      }
      write_bits(out, pos, 7, static_cast<unsigned char>(c));
      pos += 7;
    }
  }
  return out;
}

}  // namespace epc
