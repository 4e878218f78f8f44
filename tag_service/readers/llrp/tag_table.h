// The tags a reader has reported, merged by EPC: one entry per distinct tag,
// whatever the number of reports, and forgotten once not seen for the hold
// time. The table holds a bounded number of places, so that a field of any
// size keeps the service's memory and a reading within bounds: when the
// field holds more, the strongest tags (highest peak RSSI; a tag without
// one counts as the weakest) are kept and the others are counted. An EPC
// longer than 496 bits (more than an EPC bank holds) takes one place per
// 496 bits or part of them. Not synchronised: its owner locks.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_TAG_TABLE_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_TAG_TABLE_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "tag_service/readers/llrp/messages.h"

namespace tag_service::llrp {

using steady_time = std::chrono::steady_clock::time_point;

struct seen_tag {
  bytes epc;
  std::uint16_t epc_bits = 0;
  std::optional<std::uint16_t> antenna;  // of the latest sighting
  std::optional<std::int8_t> peak_rssi;  // the highest reported
  std::uint64_t first_seen_us = 0;       // reader's clock, UTC
  std::uint64_t last_seen_us = 0;
  std::uint32_t seen_count = 0;  // summed over reports
  std::optional<std::uint16_t> pc;
  steady_time last_local{};  // our clock, for the hold time
};

// Makes one connection's tag reports whole and puts them on our clock,
// before they are merged. A reader may leave out an enabled field whose
// value has not changed since its previous tag report on the connection:
// such a field is filled with that value. Timestamps become microseconds
// since 1970 on our clock: a UTC stamp as the reader gives it, an uptime
// stamp counted from the connection event's uptime; a stamp that is missing,
// cannot be placed, or is further than max_skew from the time the report
// came is replaced by that time.
class report_completer {
 public:
  explicit report_completer(std::chrono::microseconds max_skew)
      : max_skew_(static_cast<std::uint64_t>(max_skew.count())) {}

  // A new connection: nothing remembered, no clock anchor.
  void reset() {
    *this = report_completer(std::chrono::microseconds(max_skew_));
  }
  // The connection event, received at received_us on our UTC clock.
  void anchor(const reader_event& e, std::uint64_t received_us);
  // Fills r; afterwards first_seen_us and last_seen_us are always set.
  void complete(tag_report& r, std::uint64_t received_us);

 private:
  std::uint64_t on_our_clock(std::optional<std::uint64_t> utc,
                             std::optional<std::uint64_t> uptime,
                             std::uint64_t received_us) const;
  std::uint64_t max_skew_;
  std::optional<std::int64_t> uptime_to_utc_;  // added to an uptime stamp
  tag_report last_;                            // the values last reported
};

// Places of the table by default: a reading of that many tags stays well
// within what the service's clients accept (200,000 JSON objects, 16 MiB).
inline constexpr std::size_t default_max_tags = 10000;
// The most places a table may be given for the same promise.
inline constexpr std::size_t most_max_tags = 15000;

class tag_table {
 public:
  explicit tag_table(std::chrono::milliseconds hold,
                     std::size_t max_tags = default_max_tags)
      : hold_(hold), max_places_(std::max<std::size_t>(1, max_tags)) {}

  // Merges one sighting; a report without a seen count counts once. A tag
  // not seen for the hold time starts afresh (a new first sighting).
  void merge(const tag_report& r, steady_time now);
  // The tags seen within the hold time, in EPC order; forgets the others.
  std::vector<seen_tag> current(steady_time now);
  // The entry of this EPC, seen within the hold time or not; null if none.
  const seen_tag* find(const bytes& epc, std::uint16_t bits) const;
  void erase(const bytes& epc, std::uint16_t bits);
  void clear();
  std::size_t size() const { return tags_.size(); }
  // Distinct tags reported within the hold time (as of the last current())
  // that the table had no place for; counted up to 20 times the table's
  // places, beyond which the count stays there.
  std::size_t not_kept() const { return turned_away_.size(); }
  std::size_t max_tags() const { return max_places_; }

 private:
  using strength_key = std::pair<int, std::string>;  // peak RSSI, key
  static std::string key(const bytes& epc, std::uint16_t bits);
  static int strength(const seen_tag& t);
  static std::size_t places(std::uint16_t bits);
  void remove(std::unordered_map<std::string, seen_tag>::iterator it);
  bool make_room(const tag_report& r, std::size_t need);
  void count_turned_away(const std::string& k, steady_time seen);
  void forget_expired(steady_time now);
  std::chrono::milliseconds hold_;
  std::size_t max_places_;
  std::size_t used_places_ = 0;
  std::unordered_map<std::string, seen_tag> tags_;
  std::set<strength_key> by_strength_;  // weakest first
  // The tags turned away (by a hash of their key) with when they were last
  // reported, at most 20 per place.
  std::unordered_map<std::size_t, steady_time> turned_away_;
  std::size_t prune_at_ = 1024;
};

}  // namespace tag_service::llrp

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_TAG_TABLE_H_
