#include "tag_service/events/derive.h"

#include <algorithm>

namespace tag_service::events {
namespace {

constexpr int kNoRssi = -1000;  // below any real reading

}  // namespace

event_deriver::event_deriver(derive_options options)
    : options_(std::move(options)) {}

event event_deriver::make(event_kind kind, std::int64_t time_ms) {
  event e;
  e.id = options_.instance + "-" + std::to_string(++sequence_);
  e.kind = kind;
  e.time_ms = time_ms;
  e.reader = options_.reader_name;
  return e;
}

event event_deriver::tag_event(event_kind kind, const tag_state& t,
                               std::int64_t time_ms) {
  event e = make(kind, time_ms);
  const item& i = t.latest.seen;
  e.antenna = t.antenna;
  if (!i.tags.empty()) {
    e.tag_id = i.tags.front().id;
    e.fields = i.tags.front().values;
  }
  e.item_id = i.id;
  e.scheme = t.latest.scheme;
  e.peak_rssi = kind == event_kind::departed ? t.peak_rssi : t.latest.peak_rssi;
  e.last_seen_ms = t.latest.time_ms;
  return e;
}

std::uint16_t event_deriver::strongest(const tag_state& t) const {
  // Counted back from the tag's last sighting: silence alone changes
  // nothing.
  const std::int64_t since = t.latest.time_ms - options_.move_holdoff.count();
  const antenna_seen* best = nullptr;
  for (const antenna_seen& a : t.antennas) {
    if (a.last_ms < since) continue;
    // A tie keeps the tag where it is.
    if (!best || a.rssi > best->rssi ||
        (a.rssi == best->rssi && a.antenna == t.antenna)) {
      best = &a;
    }
  }
  return best ? best->antenna : t.antenna;
}

void event_deriver::check_move(tag_state& t, std::int64_t now_ms,
                               std::vector<event>& out) {
  const std::uint16_t best = strongest(t);
  if (best == t.antenna) {
    t.candidate = 0;
    return;
  }
  if (best != t.candidate) {
    t.candidate = best;
    t.candidate_since_ms = now_ms;
  }
  if (now_ms - t.candidate_since_ms < options_.move_holdoff.count()) return;
  event e = tag_event(event_kind::moved, t, now_ms);
  e.from_antenna = t.antenna;
  e.antenna = best;
  t.antenna = best;
  t.candidate = 0;
  out.push_back(std::move(e));
}

void event_deriver::sighted(const sighting& s, std::vector<event>& out) {
  if (s.seen.tags.empty()) return;
  const std::string& id = s.seen.tags.front().id;
  auto [it, fresh] = tags_.try_emplace(id);
  tag_state& t = it->second;
  // A tag whose hold time passed without a tick left before it came back.
  if (!fresh && s.time_ms - t.latest.time_ms > options_.hold.count()) {
    out.push_back(tag_event(event_kind::departed, t,
                            t.latest.time_ms + options_.hold.count()));
    t = tag_state{};
    fresh = true;
  }
  t.latest = s;
  if (s.peak_rssi && (!t.peak_rssi || *s.peak_rssi > *t.peak_rssi))
    t.peak_rssi = s.peak_rssi;
  const int rssi = s.peak_rssi.value_or(kNoRssi);
  const auto a = std::find_if(
      t.antennas.begin(), t.antennas.end(),
      [&](const antenna_seen& x) { return x.antenna == s.antenna; });
  if (a == t.antennas.end()) {
    t.antennas.push_back({s.antenna, rssi, s.time_ms});
  } else {
    a->rssi = rssi;
    a->last_ms = s.time_ms;
  }
  // Antennas that have not seen it for the hold-off no longer count.
  std::erase_if(t.antennas, [&](const antenna_seen& x) {
    return x.last_ms < s.time_ms - options_.move_holdoff.count();
  });
  if (fresh) {
    t.antenna = s.antenna;
    out.push_back(tag_event(event_kind::arrived, t, s.time_ms));
    return;
  }
  check_move(t, s.time_ms, out);
}

void event_deriver::tick(std::int64_t now_ms, std::vector<event>& out) {
  // Departures in the order the tags were last seen, then moves.
  std::vector<std::string> gone;
  for (auto& [id, t] : tags_) {
    if (now_ms - t.latest.time_ms > options_.hold.count()) {
      gone.push_back(id);
    }
  }
  std::sort(gone.begin(), gone.end(),
            [&](const std::string& a, const std::string& b) {
              const auto ta = tags_.at(a).latest.time_ms;
              const auto tb = tags_.at(b).latest.time_ms;
              return ta != tb ? ta < tb : a < b;
            });
  for (const std::string& id : gone) {
    out.push_back(tag_event(event_kind::departed, tags_.at(id), now_ms));
    tags_.erase(id);
  }
  std::vector<std::string> pending;
  for (const auto& [id, t] : tags_) {
    if (t.candidate != 0 || t.antennas.size() > 1) pending.push_back(id);
  }
  std::sort(pending.begin(), pending.end());
  for (const std::string& id : pending) check_move(tags_.at(id), now_ms, out);
}

event event_deriver::state_changed(const reader_state_change& c) {
  event e = make(event_kind::reader, c.time_ms);
  switch (c.change) {
    case reader_change::connected:
      e.state = "connected";
      break;
    case reader_change::disconnected:
      e.state = "disconnected";
      break;
    case reader_change::inventory_started:
      e.state = "inventory_started";
      break;
    case reader_change::inventory_stopped:
      e.state = "inventory_stopped";
      break;
  }
  e.cause = c.cause;
  return e;
}

}  // namespace tag_service::events
