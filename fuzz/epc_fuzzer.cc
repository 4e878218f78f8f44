// The EPC codec, from the bits a reader reports and from write data.
//
// Properties: any bytes decode without a fault, whole; the hex of the
// result has one digit per 4 bits and decodes to the same EPC, as does hex
// text of any length, up to the longest EPC an EPC bank holds (a longer one
// is raw, with a problem); an EPC of a known scheme encodes back to exactly its
// bits (in whole 16-bit words) and has its URIs; the tag's id is never empty
// and is the hex whenever there is one; the input read as write data is either
// refused with a message or gives an EPC that decodes to the tag it promised.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tag_service/gs1/epc_field.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const epc::decoded d = epc::decode(bytes, size * 8);
  const std::string hex = epc::hex(d);
  FUZZ_CHECK(hex.size() == (d.bits + 3) / 4);
  FUZZ_CHECK(d.bits == size * 8);
  if (d.bits > epc::kMaxEpcBits) {
    FUZZ_CHECK(d.kind == epc::scheme::raw && !d.problem.empty());
    FUZZ_CHECK(!epc::decode_hex(hex).has_value());
  } else {
    const std::optional<epc::decoded> again = epc::decode_hex(hex);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->bytes == d.bytes);
    FUZZ_CHECK(epc::tag_uri(*again) == epc::tag_uri(d));
    if (d.kind == epc::scheme::raw) {
      FUZZ_CHECK(d.fields.empty());
      FUZZ_CHECK(epc::item_id(d) == epc::tag_id(d));
    } else {
      std::vector<epc::field_input> in;
      for (const epc::field& f : d.fields) in.push_back({f.name, f.value});
      // The same bits, padded with zeros to whole 16-bit words.
      const std::vector<std::uint8_t> encoded = epc::encode(d.kind, in);
      FUZZ_CHECK(encoded.size() % 2 == 0 && encoded.size() >= d.bytes.size());
      FUZZ_CHECK(std::equal(d.bytes.begin(), d.bytes.end(), encoded.begin()));
      FUZZ_CHECK(std::all_of(encoded.begin() + d.bytes.size(), encoded.end(),
                             [](std::uint8_t b) { return b == 0; }));
      FUZZ_CHECK(epc::pure_identity_uri(d).starts_with("urn:epc:id:"));
      FUZZ_CHECK(d.kind == epc::scheme::gid_96 ||
                 epc::element_string(d).starts_with("("));
    }
  }
  const tag_service::tag t = epc::epc_tag(d);
  FUZZ_CHECK(t.id == epc::tag_id(d) && t.format == epc::format_id(d));
  FUZZ_CHECK(!t.id.empty() && (d.bits == 0 || t.id == hex));

  // The input as text: hex (any number of digits), then write data.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const std::optional<epc::decoded> h = epc::decode_hex(text)) {
    FUZZ_CHECK(h->bits == text.size() * 4);
    FUZZ_CHECK(epc::decode_hex(epc::hex(*h))->bytes == h->bytes);
  }
  try {
    const epc::new_epc n = epc::epc_from_write_data(text);
    FUZZ_CHECK(n.tag.id == epc::tag_id(n.epc));
    const epc::decoded written = epc::decode(n.epc.bytes, n.epc.bits);
    FUZZ_CHECK(epc::tag_uri(written) == epc::tag_uri(n.epc));
  } catch (const tag_service::input_error& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("write data"));
  }
  return 0;
}
