#include "tag_service/events/outbox.h"

namespace tag_service::events {

void outbox::push(std::string text, std::int64_t time_ms) {
  const std::size_t size = text.size();
  queue_.push_back({std::move(text), time_ms});
  bytes_ += size;
  while (!queue_.empty() &&
         (queue_.size() > limits_.max_events || bytes_ > limits_.max_bytes)) {
    drop_front();
  }
}

void outbox::pop() {
  bytes_ -= queue_.front().text.size();
  queue_.pop_front();
}

void outbox::drop_front() {
  const std::int64_t t = queue_.front().time_ms;
  if (dropped_.count == 0) dropped_.first_ms = t;
  dropped_.last_ms = t;
  ++dropped_.count;
  ++dropped_total_;
  pop();
}

dropped_run outbox::take_dropped() {
  const dropped_run r = dropped_;
  dropped_ = {};
  return r;
}

void outbox::restore_dropped(const dropped_run& r) {
  if (r.count == 0) return;
  if (dropped_.count == 0) dropped_.last_ms = r.last_ms;
  dropped_.first_ms = r.first_ms;
  dropped_.count += r.count;
}

}  // namespace tag_service::events
