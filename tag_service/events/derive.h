// Event derivation: one rule for every reader, from the sightings it hands
// over and the passing of time to tag and reader events.
//   arrived:  a tag is seen that was not in the field;
//   moved:    the tag's strongest antenna (the highest latest RSSI among
//             the antennas that saw it within the hold-off before its last
//             sighting; a tie keeps it where it is) differs from its
//             antenna and stays so for the hold-off;
//   departed: the tag was not seen for the hold time;
//   reader:   each state change the reader reports.
// Pure: time comes only from the sightings and tick(). Not synchronised:
// its owner locks.
#ifndef KORVO_TAG_SERVICE_EVENTS_DERIVE_H_
#define KORVO_TAG_SERVICE_EVENTS_DERIVE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tag_service/events/event.h"
#include "tag_service/readers/reader.h"

namespace tag_service::events {

struct derive_options {
  std::string reader_name;
  std::string instance;  // the first part of every event id
  std::chrono::milliseconds hold{2000};
  std::chrono::milliseconds move_holdoff{500};
};

class event_deriver {
 public:
  explicit event_deriver(derive_options options);

  // The events a sighting makes (an arrival, a move), appended to out.
  void sighted(const sighting& s, std::vector<event>& out);
  // The events time makes by now_ms (departures, moves whose hold-off has
  // passed), appended to out.
  void tick(std::int64_t now_ms, std::vector<event>& out);
  // The reader event of a state change.
  event state_changed(const reader_state_change& c);
  // A new event of this kind with the next id, the reader's name and time.
  event make(event_kind kind, std::int64_t time_ms);

  std::size_t tags_in_field() const { return tags_.size(); }

 private:
  struct antenna_seen {
    std::uint16_t antenna = 0;
    int rssi = 0;  // the latest; a sighting without one counts lowest
    std::int64_t last_ms = 0;
  };
  struct tag_state {
    sighting latest;
    std::uint16_t antenna = 0;
    std::optional<int> peak_rssi;  // the highest of the stay
    std::vector<antenna_seen> antennas;
    std::uint16_t candidate = 0;  // the antenna it may be moving to
    std::int64_t candidate_since_ms = 0;
  };
  event tag_event(event_kind kind, const tag_state& t, std::int64_t time_ms);
  std::uint16_t strongest(const tag_state& t) const;
  // A move, when the strongest antenna has differed for the hold-off.
  void check_move(tag_state& t, std::int64_t now_ms, std::vector<event>& out);

  derive_options options_;
  std::uint64_t sequence_ = 0;
  std::unordered_map<std::string, tag_state> tags_;  // by tag id
};

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_DERIVE_H_
