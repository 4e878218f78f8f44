// The read-points file: where a reader's antennas read and where the
// reader stands, for its EPCIS events. A small JSON object:
//   {"business_location": "urn:epc:id:sgln:0614141.12345.0",
//    "time_zone_offset": "+01:00",
//    "read_points": [{"antenna": 1, "id": "urn:epc:id:sgln:0614141.12345.400",
//                     "alias": "dock door 1"}]}
// every member optional but the antennas' ids; nothing else allowed (a
// misspelt member is an error, not a silent default). Its form is written
// down in tag_service/README.md.
#ifndef KORVO_TAG_SERVICE_EVENTS_READ_POINTS_H_
#define KORVO_TAG_SERVICE_EVENTS_READ_POINTS_H_

#include <string>
#include <string_view>

#include "tag_service/events/epcis.h"

namespace tag_service::events {

// Largest read-points file taken.
inline constexpr std::size_t kMaxReadPointsBytes = 64 * 1024;

// Sets the read points, business location and time zone offset of c from
// the file's text. False with a reason naming the member at fault; c is
// then unchanged.
bool parse_read_points(std::string_view text, epcis_context& c,
                       std::string& error);
// The same for the file at path (at most kMaxReadPointsBytes, read safely);
// the reason names the file.
bool read_read_points(const std::string& path, epcis_context& c,
                      std::string& error);

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_READ_POINTS_H_
