#include "tag_service/events/event.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace tag_service::events {

std::string_view kind_name(event_kind k) {
  switch (k) {
    case event_kind::arrived:
      return "arrived";
    case event_kind::moved:
      return "moved";
    case event_kind::departed:
      return "departed";
    case event_kind::reader:
      return "reader";
    case event_kind::gap:
      return "gap";
  }
  return "unknown";
}

std::string utc_ms_text(std::int64_t ms) {
  const std::time_t seconds =
      static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm t{};
  ::gmtime_r(&seconds, &t);
  char buf[96];  // room for any int the compiler can imagine
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec, static_cast<int>(ms - seconds * 1000LL));
  return buf;
}

std::string event_json(const event& e) {
  // Texts from tags may hold anything; invalid UTF-8 becomes U+FFFD rather
  // than an exception on the reader's thread.
  nlohmann::json j = {{"id", e.id},
                      {"kind", kind_name(e.kind)},
                      {"time", utc_ms_text(e.time_ms)},
                      {"reader", e.reader}};
  switch (e.kind) {
    case event_kind::arrived:
    case event_kind::moved:
    case event_kind::departed: {
      j["antenna"] = e.antenna;
      if (e.kind == event_kind::moved) j["from_antenna"] = e.from_antenna;
      j["tag_id"] = e.tag_id;
      j["item_id"] = e.item_id;
      j["scheme"] = e.scheme;
      j["peak_rssi"] =
          e.peak_rssi ? nlohmann::json(*e.peak_rssi) : nlohmann::json(nullptr);
      nlohmann::json fields = nlohmann::json::object();
      for (const field_value& f : e.fields) fields[f.name] = f.value;
      j["fields"] = std::move(fields);
      if (e.kind == event_kind::departed)
        j["last_seen"] = utc_ms_text(e.last_seen_ms);
      break;
    }
    case event_kind::reader:
      j["state"] = e.state;
      if (!e.cause.empty()) j["cause"] = e.cause;
      break;
    case event_kind::gap:
      j["dropped"] = e.dropped;
      j["first"] = utc_ms_text(e.gap_first_ms);
      j["last"] = utc_ms_text(e.gap_last_ms);
      break;
  }
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tag_service::events
