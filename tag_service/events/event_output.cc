#include "tag_service/events/event_output.h"

namespace tag_service::events {

event_output::event_output(derive_options derive, outbox_limits limits,
                           event_format format)
    : format_(std::move(format)),
      deriver_(std::move(derive)),
      outbox_(limits) {}

std::optional<std::string> event_output::text(const event& e) const {
  if (!format_) return event_json(e);
  return format_(e);
}

void event_output::queue(const event& e) {
  std::optional<std::string> t = text(e);
  if (t) outbox_.push(std::move(*t), e.time_ms);
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
  const dropped_run dropped = outbox_.take_dropped();
  if (dropped.count > 0) {
    event gap = deriver_.make(event_kind::gap, now_ms);
    gap.dropped = dropped.count;
    gap.gap_first_ms = dropped.first_ms;
    gap.gap_last_ms = dropped.last_ms;
    const std::optional<std::string> gap_text = text(gap);
    if (gap_text && (max == 0 || !send(*gap_text))) {
      // Announced next time, with whatever is dropped meanwhile.
      outbox_.restore_dropped(dropped);
      return 0;
    }
    if (gap_text) ++n;
  }
  while (n < max && !outbox_.empty() && send(outbox_.front())) {
    outbox_.pop();
    ++n;
  }
  sent_ += n;
  return n;
}

reader_link event_output::link() const {
  std::lock_guard lock(mutex_);
  return link_;
}

outbox_figures event_output::figures() const {
  std::lock_guard lock(mutex_);
  return {outbox_.size(), outbox_.bytes(), outbox_.dropped_total(), sent_};
}

void observer_fanout::sighted(const sighting& s) {
  for (reader_observer* o : observers_) o->sighted(s);
}

void observer_fanout::state_changed(const reader_state_change& c) {
  for (reader_observer* o : observers_) o->state_changed(c);
}

}  // namespace tag_service::events
