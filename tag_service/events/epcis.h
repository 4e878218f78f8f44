// EPCIS 2.0: tag events in the form supply chains exchange. An arrival, or
// a move to another antenna, becomes an ObjectEvent (action OBSERVE) at the
// antenna's read point and the reader's business location, identified by
// the CBV 2.0 event hash id; ObjectEvents travel in EPCISDocuments. What
// each of our kinds becomes, and why, is written down in
// tag_service/README.md. Everything here is pure and safe to call from any
// thread.
#ifndef KORVO_TAG_SERVICE_EVENTS_EPCIS_H_
#define KORVO_TAG_SERVICE_EVENTS_EPCIS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tag_service/events/event.h"

namespace tag_service::events {

// Where one antenna reads: its read point (any absolute URI, typically an
// SGLN pure identity URI such as urn:epc:id:sgln:0614141.12345.400) and a
// name for people.
struct read_point {
  std::string uri;
  std::string alias;  // may be empty
};

// What a reader's ObjectEvents say beyond the tag event itself.
struct epcis_context {
  std::string reader_name;
  std::map<std::uint16_t, read_point> read_points;  // by antenna
  std::string business_location;  // bizLocation id; empty: none
  // A CBV 2.0 word ("arriving") or a URI; empty: left out of the events.
  std::string biz_step = "arriving";
  std::string disposition;
  // eventTimeZoneOffset in minutes east of UTC; empty: the machine's local
  // zone at each event's time.
  std::optional<int> utc_offset_minutes;
};

// The read point of an antenna: the context's, or else
// urn:korvo:reader:NAME:antenna:N (the reader's name percent-encoded;
// antenna 0, not known, as urn:korvo:reader:NAME).
std::string read_point_uri(const epcis_context& c, std::uint16_t antenna);

// The EPC URI of a tag event's EPC for epcList: the pure identity URI of a
// known scheme, else the raw URI (urn:epc:raw:96.x3074...).
std::string epc_uri(const event& e);

// The JSON text of the ObjectEvent an event becomes, eventID included (one
// line, no @context: it travels inside an EPCISDocument), or nothing for
// the kinds that become nothing (departed, reader, gap).
std::optional<std::string> object_event_json(const event& e,
                                             const epcis_context& c);

// An EPCISDocument (schemaVersion 2.0, the EPCIS 2.0 JSON-LD context) whose
// eventList holds the given ObjectEvent texts in order, created at
// creation_ms (UTC milliseconds). The texts must be JSON objects, as
// object_event_json() makes them.
std::string epcis_document(std::span<const std::string> object_events,
                           std::int64_t creation_ms);

// "+01:00", "-05:30", "+00:00".
std::string utc_offset_text(int minutes);
// The offset text of "+HH:MM" / "-HH:MM" in minutes, or nothing.
std::optional<int> parse_utc_offset(std::string_view text);

// Checks a business step or a disposition as a person gives it: a CBV 2.0
// word ("receiving", "in_progress"), or an absolute URI outside the CBV's
// own URN and ns.gs1.org namespaces (EPCIS 2.0 JSON takes their words
// bare). False with a reason.
bool check_biz_step(std::string_view s, std::string& error);
bool check_disposition(std::string_view s, std::string& error);

// True when s is an absolute URI as RFC 3986 writes one: a scheme, ':',
// then only URI characters and well-formed %-escapes.
bool is_absolute_uri(std::string_view s);

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_EPCIS_H_
