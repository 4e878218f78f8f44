// The outbox: events waiting for the broker, oldest first, bounded by a
// count and by their bytes. When a new event does not fit, the oldest go;
// they are counted, with the times of the first and last dropped, until
// the owner takes that record to announce the gap. Not synchronised: its
// owner locks.
#ifndef KORVO_TAG_SERVICE_EVENTS_OUTBOX_H_
#define KORVO_TAG_SERVICE_EVENTS_OUTBOX_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace tag_service::events {

struct outbox_limits {
  std::size_t max_events = 100000;
  std::size_t max_bytes = 64 * 1024 * 1024;  // of the events' JSON texts
};

// Events dropped since the record was last taken; count 0: none.
struct dropped_run {
  std::uint64_t count = 0;
  std::int64_t first_ms = 0;  // time of the first dropped event
  std::int64_t last_ms = 0;   // and of the last
};

class outbox {
 public:
  explicit outbox(outbox_limits limits) : limits_(limits) {}

  // Queues an event's text, dropping the oldest while the bounds are
  // exceeded (an event larger than the byte bound alone is dropped itself).
  void push(std::string text, std::int64_t time_ms);
  bool empty() const { return queue_.empty(); }
  // The oldest event's text. REQUIRES: !empty()
  const std::string& front() const { return queue_.front().text; }
  // The text of the i-th oldest event. REQUIRES: i < size()
  const std::string& at(std::size_t i) const { return queue_[i].text; }
  void pop();
  // The record of drops since the last call; resets it.
  dropped_run take_dropped();
  // Puts back a record taken but not announced, ahead of newer drops.
  void restore_dropped(const dropped_run& r);

  std::size_t size() const { return queue_.size(); }
  std::size_t bytes() const { return bytes_; }
  std::uint64_t dropped_total() const { return dropped_total_; }

 private:
  struct entry {
    std::string text;
    std::int64_t time_ms;
  };
  void drop_front();

  outbox_limits limits_;
  std::deque<entry> queue_;
  std::size_t bytes_ = 0;
  dropped_run dropped_;
  std::uint64_t dropped_total_ = 0;
};

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_OUTBOX_H_
