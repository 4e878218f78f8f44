#include "tag_service/events/event_output.h"

namespace tag_service::events {

event_output::event_output(derive_options derive, outbox_limits limits,
                           event_formatter format)
    : deriver_(std::move(derive)), format_(std::move(format)), outbox_(limits) {
  if (!format_) format_ = [](const event& e) { return event_json(e); };
}

void event_output::queue(const event& e) {
  if (std::optional<std::string> text = format_(e))
    outbox_.push(std::move(*text), e.time_ms);
}

std::optional<std::string> event_output::gap_text(std::int64_t now_ms,
                                                  dropped_run& taken) {
  taken = outbox_.take_dropped();
  if (taken.count == 0) return std::nullopt;
  event gap = deriver_.make(event_kind::gap, now_ms);
  gap.dropped = taken.count;
  gap.gap_first_ms = taken.first_ms;
  gap.gap_last_ms = taken.last_ms;
  return format_(gap);
}

void event_output::sighted(const sighting& s) {
  std::lock_guard lock(mutex_);
  made_.clear();
  deriver_.sighted(s, made_);
  for (const event& e : made_) queue(e);
}

void event_output::state_changed(const reader_state_change& c) {
  std::lock_guard lock(mutex_);
  switch (c.change) {
    case reader_change::connected:
      link_.connected = true;
      break;
    case reader_change::disconnected:
      link_.connected = false;
      break;
    case reader_change::inventory_started:
      link_.inventory = true;
      break;
    case reader_change::inventory_stopped:
      link_.inventory = false;
      break;
  }
  ++link_.version;
  queue(deriver_.state_changed(c));
}

void event_output::tick(std::int64_t now_ms) {
  std::lock_guard lock(mutex_);
  made_.clear();
  deriver_.tick(now_ms, made_);
  for (const event& e : made_) queue(e);
}

std::size_t event_output::hand_over(
    std::size_t max, std::int64_t now_ms,
    const std::function<bool(const std::string&)>& send) {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  dropped_run dropped;
  if (const auto gap = gap_text(now_ms, dropped)) {
    if (max == 0 || !send(*gap)) {
      // Announced next time, with whatever is dropped meanwhile.
      outbox_.restore_dropped(dropped);
      return 0;
    }
    ++n;
  }
  while (n < max && !outbox_.empty() && send(outbox_.front())) {
    outbox_.pop();
    ++n;
  }
  sent_ += n;
  return n;
}

std::size_t event_output::hand_over_batch(
    std::size_t max, std::int64_t now_ms,
    const std::function<bool(std::span<const std::string>)>& send) {
  std::lock_guard lock(mutex_);
  if (max == 0) return 0;
  batch_.clear();
  dropped_run dropped;
  if (auto gap = gap_text(now_ms, dropped)) batch_.push_back(std::move(*gap));
  const std::size_t waiting = std::min(max - batch_.size(), outbox_.size());
  for (std::size_t i = 0; i < waiting; ++i) batch_.push_back(outbox_.at(i));
  if (batch_.empty()) return 0;
  if (!send(batch_)) {
    if (dropped.count > 0) outbox_.restore_dropped(dropped);
    return 0;
  }
  for (std::size_t i = 0; i < waiting; ++i) outbox_.pop();
  sent_ += batch_.size();
  return batch_.size();
}

reader_link event_output::link() const {
  std::lock_guard lock(mutex_);
  return link_;
}

outbox_figures event_output::figures() const {
  std::lock_guard lock(mutex_);
  return {outbox_.size(), outbox_.bytes(), outbox_.dropped_total(), sent_};
}

}  // namespace tag_service::events
