// Tag events: what a reader's field did (a tag arrived, moved to another
// antenna, departed), what the reader did, and what the outbox had to drop,
// with their JSON form. The form is written down in tag_service/README.md.
#ifndef KORVO_TAG_SERVICE_EVENTS_EVENT_H_
#define KORVO_TAG_SERVICE_EVENTS_EVENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tag_service/model/model.h"

namespace tag_service::events {

enum class event_kind { arrived, moved, departed, reader, gap };

struct event {
  std::string id;  // unique across restarts: instance id, '-', sequence
  event_kind kind = event_kind::arrived;
  std::int64_t time_ms = 0;  // UTC, milliseconds since 1970
  std::string reader;        // the reader's name

  // arrived, moved, departed
  std::uint16_t antenna = 0;       // 0: not known
  std::uint16_t from_antenna = 0;  // moved: where it was
  std::string tag_id;              // the EPC in hex
  std::string item_id;             // pure identity URI (raw EPC: the hex)
  std::string scheme;
  std::optional<int> peak_rssi;  // dBm; departed: the highest of the stay
  std::vector<field_value> fields;
  std::int64_t last_seen_ms = 0;  // departed

  // reader: "connected", "disconnected", "inventory_started",
  // "inventory_stopped"; cause for a disconnection
  std::string state;
  std::string cause;

  // gap: how many events were dropped, and the times of the first and last
  std::uint64_t dropped = 0;
  std::int64_t gap_first_ms = 0;
  std::int64_t gap_last_ms = 0;
};

std::string_view kind_name(event_kind k);

// The event as one line of JSON (no line break).
std::string event_json(const event& e);

// "2026-12-09T13:00:00.123Z".
std::string utc_ms_text(std::int64_t ms);

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_EVENT_H_
