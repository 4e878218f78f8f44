#include "tag_service/readers/llrp/tag_table.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace tag_service::llrp {

void report_completer::anchor(const reader_event& e,
                              std::uint64_t received_us) {
  if (e.uptime_us) {
    uptime_to_utc_ = static_cast<std::int64_t>(received_us - *e.uptime_us);
  }
}

std::uint64_t report_completer::on_our_clock(
    std::optional<std::uint64_t> utc, std::optional<std::uint64_t> uptime,
    std::uint64_t received_us) const {
  std::optional<std::uint64_t> t = utc;
  if (!t && uptime && uptime_to_utc_)
    t = *uptime + static_cast<std::uint64_t>(*uptime_to_utc_);
  if (!t) return received_us;
  const std::uint64_t skew =
      *t > received_us ? *t - received_us : received_us - *t;
  return skew > max_skew_ ? received_us : *t;
}

void report_completer::complete(tag_report& r, std::uint64_t received_us) {
  const auto fill = [](auto& field, auto& last) {
    if (field) {
      last = field;
    } else {
      field = last;
    }
  };
  fill(r.antenna, last_.antenna);
  fill(r.peak_rssi, last_.peak_rssi);
  fill(r.first_seen_us, last_.first_seen_us);
  fill(r.last_seen_us, last_.last_seen_us);
  fill(r.first_seen_uptime_us, last_.first_seen_uptime_us);
  fill(r.last_seen_uptime_us, last_.last_seen_uptime_us);
  fill(r.seen_count, last_.seen_count);
  fill(r.pc, last_.pc);
  const std::uint64_t first =
      on_our_clock(r.first_seen_us, r.first_seen_uptime_us, received_us);
  const std::uint64_t last =
      on_our_clock(r.last_seen_us, r.last_seen_uptime_us, received_us);
  r.first_seen_us = first;
  r.last_seen_us = std::max(first, last);
}

namespace {
// An EPC bank holds at most 31 words after its PC word.
constexpr std::size_t kBankBits = 496;
constexpr std::size_t kTurnedAwayPerPlace = 20;
}  // namespace

std::string tag_table::key(const bytes& epc, std::uint16_t bits) {
  std::string k(epc.begin(), epc.end());
  k.push_back(static_cast<char>(bits & 7));  // 12 bits differ from 16 bits
  return k;
}

int tag_table::strength(const seen_tag& t) {
  return t.peak_rssi ? *t.peak_rssi : std::numeric_limits<int>::min();
}

std::size_t tag_table::places(std::uint16_t bits) {
  return std::max<std::size_t>(1, (bits + kBankBits - 1) / kBankBits);
}

const seen_tag* tag_table::find(const bytes& epc, std::uint16_t bits) const {
  const auto it = tags_.find(key(epc, bits));
  return it == tags_.end() ? nullptr : &it->second;
}

void tag_table::remove(std::unordered_map<std::string, seen_tag>::iterator it) {
  by_strength_.erase({strength(it->second), it->first});
  used_places_ -= places(it->second.epc_bits);
  tags_.erase(it);
}

void tag_table::erase(const bytes& epc, std::uint16_t bits) {
  const auto it = tags_.find(key(epc, bits));
  if (it != tags_.end()) remove(it);
}

void tag_table::clear() {
  tags_.clear();
  by_strength_.clear();
  turned_away_.clear();
  used_places_ = 0;
}

// Frees places for a newcomer by dropping tags weaker than it, weakest
// first; false (and nothing dropped) when it is not stronger than enough.
bool tag_table::make_room(const tag_report& r, std::size_t need) {
  if (need > max_places_) return false;
  const int mine = r.peak_rssi ? *r.peak_rssi : std::numeric_limits<int>::min();
  std::size_t freed = 0;
  auto it = by_strength_.begin();
  for (; it != by_strength_.end() && used_places_ - freed + need > max_places_;
       ++it) {
    if (it->first >= mine) return false;
    freed += places(tags_.at(it->second).epc_bits);
  }
  while (by_strength_.begin() != it) {
    const auto victim = tags_.find(by_strength_.begin()->second);
    count_turned_away(victim->first, victim->second.last_local);
    remove(victim);
  }
  return true;
}

void tag_table::count_turned_away(const std::string& k, steady_time seen) {
  const std::size_t h = std::hash<std::string>{}(k);
  const auto it = turned_away_.find(h);
  if (it != turned_away_.end()) {
    it->second = std::max(it->second, seen);
  } else if (turned_away_.size() < kTurnedAwayPerPlace * max_places_) {
    turned_away_.emplace(h, seen);
  }
}

void tag_table::merge(const tag_report& r, steady_time now) {
  std::string k = key(r.epc, r.epc_bits);
  auto it = tags_.find(k);
  if (it != tags_.end() && now - it->second.last_local > hold_) {
    remove(it);
    it = tags_.end();
  }
  const bool fresh = it == tags_.end();
  if (fresh) {
    const std::size_t need = places(r.epc_bits);
    if (used_places_ + need > max_places_ && !make_room(r, need)) {
      count_turned_away(k, now);
      return;
    }
    turned_away_.erase(std::hash<std::string>{}(k));
    it = tags_.emplace(std::move(k), seen_tag{}).first;
    used_places_ += need;
  } else {
    by_strength_.erase({strength(it->second), it->first});
  }
  seen_tag& t = it->second;
  if (fresh) {
    t.epc = r.epc;
    t.epc_bits = r.epc_bits;
    t.first_seen_us = r.first_seen_us.value_or(r.last_seen_us.value_or(0));
  } else if (r.first_seen_us && *r.first_seen_us < t.first_seen_us) {
    t.first_seen_us = *r.first_seen_us;
  }
  if (r.antenna) t.antenna = r.antenna;
  if (r.peak_rssi && (!t.peak_rssi || *r.peak_rssi > *t.peak_rssi))
    t.peak_rssi = r.peak_rssi;
  const std::uint64_t last =
      r.last_seen_us.value_or(r.first_seen_us.value_or(0));
  t.last_seen_us = std::max(t.last_seen_us, last);
  t.seen_count += r.seen_count.value_or(1);
  if (r.pc) t.pc = r.pc;
  t.last_local = now;
  by_strength_.insert({strength(t), it->first});
  // Expired entries go when the table has doubled since the last sweep, so
  // its size follows the tags in the field, not the reports.
  if (tags_.size() + turned_away_.size() >= prune_at_) {
    forget_expired(now);
    prune_at_ =
        std::max<std::size_t>(1024, (tags_.size() + turned_away_.size()) * 2);
  }
}

void tag_table::forget_expired(steady_time now) {
  for (auto it = tags_.begin(); it != tags_.end();) {
    const auto next = std::next(it);
    if (now - it->second.last_local > hold_) remove(it);
    it = next;
  }
  std::erase_if(turned_away_,
                [&](const auto& e) { return now - e.second > hold_; });
}

std::vector<seen_tag> tag_table::current(steady_time now) {
  forget_expired(now);
  std::vector<seen_tag> out;
  out.reserve(tags_.size());
  for (const auto& e : tags_) out.push_back(e.second);
  std::sort(out.begin(), out.end(),
            [](const seen_tag& a, const seen_tag& b) { return a.epc < b.epc; });
  return out;
}

}  // namespace tag_service::llrp
