#include "tag_service/readers/llrp/tag_table.h"

#include <algorithm>

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

std::string tag_table::key(const bytes& epc, std::uint16_t bits) {
  std::string k(epc.begin(), epc.end());
  k.push_back(static_cast<char>(bits & 7));  // 12 bits differ from 16 bits
  return k;
}

const seen_tag* tag_table::find(const bytes& epc, std::uint16_t bits) const {
  const auto it = tags_.find(key(epc, bits));
  return it == tags_.end() ? nullptr : &it->second;
}

void tag_table::merge(const tag_report& r, steady_time now) {
  auto [it, fresh] = tags_.try_emplace(key(r.epc, r.epc_bits));
  seen_tag& t = it->second;
  if (!fresh && now - t.last_local > hold_) {
    t = seen_tag{};
    fresh = true;
  }
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
  // Expired entries go when the table has doubled since the last sweep, so
  // its size follows the tags in the field, not the reports.
  if (tags_.size() >= prune_at_) {
    forget_expired(now);
    prune_at_ = std::max<std::size_t>(1024, tags_.size() * 2);
  }
}

void tag_table::forget_expired(steady_time now) {
  std::erase_if(
      tags_, [&](const auto& e) { return now - e.second.last_local > hold_; });
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
