// What the reader's EPCs become in the tag service: one tag format per EPC
// scheme (format id = the scheme's header value), an item and a tag per
// EPC, and write data in a scheme's format encoded into a new EPC.
#ifndef KORVO_TAG_SERVICE_GS1_EPC_FIELD_H_
#define KORVO_TAG_SERVICE_GS1_EPC_FIELD_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "tag_service/gs1/epc.h"
#include "tag_service/model/model.h"

namespace epc {

// Format id of EPCs shown raw (no known scheme). Header values are bytes,
// so this id cannot clash with a scheme's.
inline constexpr std::int32_t kRawFormatId = 256;

// Item (and tag) types, as the protocol numbers them.
inline constexpr std::int32_t kTypeBlank = 0;
inline constexpr std::int32_t kTypeEquipment = 2;
inline constexpr std::int32_t kTypeItem = 4;
inline constexpr std::int32_t kTypeLocation = 5;
inline constexpr std::int32_t kTypeOther = 6;
inline constexpr std::int32_t kTypeUnknown = 9;

// The formats the service lists: one per scheme, then the raw format.
const std::vector<tag_service::tag_format>& epc_formats();

// Format id of a decoded EPC: the header value, or kRawFormatId.
std::int32_t format_id(const decoded& d);
// Item type by scheme: SGTIN Item, SGLN Location, GRAI and GIAI Equipment,
// SSCC and GID Other, raw Unknown, all-zero Blank.
std::int32_t item_type(const decoded& d);
// Tag id: the EPC in upper-case hex, whose digits tell its length. An EPC
// whose length is no multiple of 4 bits (97 and 98 bits have the same
// digits), or of no bits at all (an EPC memory that holds none: the
// service's clients still need an id to choose it by), has its raw URI as
// id instead, urn:epc:raw:97.x..., which says its length.
std::string tag_id(const decoded& d);
// Item id: the pure identity URI, or the tag id for a raw EPC.
std::string item_id(const decoded& d);

// The tag of a decoded EPC: id = tag_id(), format, type, and the
// values: the decoded fields, then "element_string" (where the scheme has
// one) and "tag_uri"; a raw EPC has "epc" (the hex) and "tag_uri", and
// "problem" when a known header was broken. The caller adds what the reader
// measured and the time it was first seen.
tag_service::tag epc_tag(const decoded& d);

// A new tag from write data in a scheme's format,
// "48:filter=3;company_prefix=0614141;item_reference=812345;serial=6789":
// checked by the service's write-data rules against epc_formats(), then
// encoded. The raw format takes "epc=HEX" (whole 16-bit words). Returns the tag of the new EPC
// (id = its hex) and the EPC itself. Throws tag_service::input_error with a
// message for the client.
struct new_epc {
  decoded epc;
  tag_service::tag tag;
};
new_epc epc_from_write_data(std::string_view data);

}  // namespace epc

#endif  // KORVO_TAG_SERVICE_GS1_EPC_FIELD_H_
