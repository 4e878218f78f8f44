// Test driver for the EPCIS cross-check: reads one JSON request per line on
// standard input and answers each with one line on standard output.
//   {"context": {"reader": R, "biz_step": B, "disposition": D,
//                "read_points": {...the read-points file...}}}
//                                   -> OK, or ERR <reason>
//   {"event": {"kind": K, "tag_id": HEX, "antenna": N, "time_ms": T}}
//                                   -> the ObjectEvent's JSON, or NONE
//   {"document": T}                 -> the EPCISDocument of the ObjectEvents
//                                      since the last document
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tag_service/events/epcis.h"
#include "tag_service/events/read_points.h"

namespace ev = tag_service::events;

namespace {

ev::event_kind kind_named(const std::string& name) {
  for (const auto k : {ev::event_kind::arrived, ev::event_kind::moved,
                       ev::event_kind::departed, ev::event_kind::reader,
                       ev::event_kind::gap}) {
    if (ev::kind_name(k) == name) return k;
  }
  return ev::event_kind::gap;
}

std::string context(const nlohmann::json& j, ev::epcis_context& c) {
  ev::epcis_context made;
  made.reader_name = j.value("reader", "");
  made.biz_step = j.value("biz_step", "");
  made.disposition = j.value("disposition", "");
  std::string error;
  if (!made.biz_step.empty() && !ev::check_biz_step(made.biz_step, error))
    return "ERR " + error;
  if (!made.disposition.empty() &&
      !ev::check_disposition(made.disposition, error)) {
    return "ERR " + error;
  }
  if (j.contains("read_points") &&
      !ev::parse_read_points(j["read_points"].dump(), made, error)) {
    return "ERR " + error;
  }
  c = std::move(made);
  return "OK";
}

}  // namespace

int main() {
  ev::epcis_context c;
  std::vector<std::string> events;
  std::string line;
  while (std::getline(std::cin, line)) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.contains("context")) {
      std::cout << context(j["context"], c) << '\n';
    } else if (j.contains("event")) {
      const nlohmann::json& e = j["event"];
      ev::event made;
      made.kind = kind_named(e.value("kind", ""));
      made.tag_id = e.value("tag_id", "");
      made.antenna = e.value("antenna", std::uint16_t{0});
      made.time_ms = e.value("time_ms", std::int64_t{0});
      made.reader = c.reader_name;
      const auto text = ev::object_event_json(made, c);
      if (text) events.push_back(*text);
      std::cout << (text ? *text : "NONE") << '\n';
    } else if (j.contains("document")) {
      std::cout << ev::epcis_document(events, j["document"].get<std::int64_t>())
                << '\n';
      events.clear();
    } else {
      std::cout << "ERR unknown request\n";
    }
  }
  return std::cout ? 0 : 1;
}
