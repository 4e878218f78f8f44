// The EPC codec: what the EPC bank of a UHF tag says, by the GS1 EPC Tag
// Data Standard's binary encodings, and the way back from fields to bits.
//
// decode() is on the reader's hot path (every report of every tag), so it
// allocates only for the field texts that do not fit a short string; the
// URIs and the element string are made on demand from the decoded EPC.
// Everything here is pure and safe to call from any thread.
#ifndef KORVO_TAG_SERVICE_GS1_EPC_H_
#define KORVO_TAG_SERVICE_GS1_EPC_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace epc {

// The binary schemes the codec knows. raw: an EPC that is none of them (an
// unknown header, a known header whose contents break the scheme's rules,
// a length that does not fit the header) or an all-zero EPC.
enum class scheme : std::uint8_t {
  raw,
  sgtin_96,   // header 0x30
  sscc_96,    // 0x31
  sgln_96,    // 0x32
  grai_96,    // 0x33
  giai_96,    // 0x34
  gid_96,     // 0x35
  sgtin_198,  // 0x36: SGTIN with an alphanumeric serial
};

// Header value (the EPC's first byte) of a scheme; 0 for raw.
std::uint8_t header_of(scheme s);
// The scheme with this header value, or nothing.
std::optional<scheme> scheme_of_header(std::uint8_t header);
// "sgtin-96", ... as in the tag URI; "raw" for raw.
std::string_view scheme_name(scheme s);
// The scheme with this name (as scheme_name gives it, ASCII case ignored).
std::optional<scheme> scheme_named(std::string_view name);

// Longest EPC an EPC bank holds, in bits (31 words after the PC word): the
// longest the codec encodes or takes as hex; a longer one read from a
// reader is decoded raw, whole, with a problem.
inline constexpr std::size_t kMaxEpcBits = 496;

// One decoded field: its name (as in write data, e.g. "item_reference") and
// its value as text: digits, leading zeros kept where the scheme counts
// digits (company prefix, item reference); the SGTIN-198 serial as its
// characters, not URI-escaped.
struct field {
  std::string_view name;  // static storage
  std::string value;
};

struct decoded {
  scheme kind = scheme::raw;
  std::uint8_t header = 0;  // first byte of the EPC (0 when empty)
  std::size_t bits = 0;     // length of the EPC in bits
  bool all_zero = false;    // raw because every bit is 0 (a blank tag)
  // Filter and partition, for schemes that have them.
  std::optional<std::uint8_t> filter;
  std::optional<std::uint8_t> partition;
  // The scheme's fields in order, filter first where there is one (so the
  // list matches the format's field definitions); empty for raw.
  std::vector<field> fields;
  // Why a known header was decoded raw ("partition 7 is reserved"); empty
  // otherwise.
  std::string problem;
  // The EPC bits, whole bytes, the last one zero-padded.
  std::vector<std::uint8_t> bytes;

  // Value of the field with this name, or nullptr.
  const std::string* value(std::string_view name) const;
};

// Decodes the first `bits` bits of `epc`. Never fails: anything that is not
// a well-formed EPC of a known scheme comes back raw. A scheme's EPC may be
// followed by zero bits up to the next 16-bit word (SGTIN-198 as 200 or 208
// bits). Bits beyond `bits` in
// the last byte are ignored; `bits` above epc.size() * 8 is cut to fit;
// more than kMaxEpcBits is raw, with the problem saying so.
decoded decode(std::span<const std::uint8_t> epc, std::size_t bits);
// The same, for EPCs given as hex text (upper or lower case, 4 bits per
// digit). Returns nothing when the text is not hex.
std::optional<decoded> decode_hex(std::string_view hex);

// The GS1 check digit of a string of decimal digits (weights 3, 1, ...
// from the right), as GTINs, SSCCs, GLNs and GRAIs end with.
char check_digit(std::string_view digits);

// The EPC in upper-case hex, one digit per 4 bits (the tag id).
std::string hex(const decoded& d);
// urn:epc:id:sgtin:0614141.812345.6789; for raw, empty.
std::string pure_identity_uri(const decoded& d);
// urn:epc:raw:96.x3074257BF7194E4000001A85: the length, then the hex
// (whatever the scheme).
std::string raw_uri(const decoded& d);
// urn:epc:tag:sgtin-96:3.0614141.812345.6789; for raw, raw_uri().
std::string tag_uri(const decoded& d);
// The GS1 element string, check digit included:
// (01)80614141123458(21)6789; empty for GID and raw.
std::string element_string(const decoded& d);

// A field given to encode(): name as in write data, value as text.
struct field_input {
  std::string_view name;
  std::string_view value;
};

// Thrown by encode() with a message for the person who gave the fields,
// e.g. "item_reference must have 6 digits with a 7-digit company prefix".
class encode_error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Encodes the scheme's fields into a new EPC (the partition follows from
// the company prefix's length), in whole 16-bit words as a tag's EPC memory
// holds it (SGTIN-198: 208 bits, the last 10 zero). Every field of the scheme
// must be given once; filter defaults to 0 when left out. Throws encode_error.
std::vector<std::uint8_t> encode(scheme s, std::span<const field_input> fields);

// Field names of a scheme, in order (filter first where there is one).
std::span<const std::string_view> field_names(scheme s);

}  // namespace epc

#endif  // KORVO_TAG_SERVICE_GS1_EPC_H_
