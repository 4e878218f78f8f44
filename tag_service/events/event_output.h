// The events of one reader on their way out: derived from what the reader
// hands over (event_deriver) and queued in the outbox for a publisher.
// Thread-safe. What the reader calls waits only for this object's lock,
// which is never held across I/O: an output never blocks its reader.
#ifndef KORVO_TAG_SERVICE_EVENTS_EVENT_OUTPUT_H_
#define KORVO_TAG_SERVICE_EVENTS_EVENT_OUTPUT_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "tag_service/events/derive.h"
#include "tag_service/events/outbox.h"
#include "tag_service/readers/reader.h"

namespace tag_service::events {

// The reader's state as its last state changes said.
struct reader_link {
  bool connected = false;
  bool inventory = false;
  std::uint64_t version = 0;  // grows with every change
};

struct outbox_figures {
  std::size_t events = 0;  // waiting
  std::size_t bytes = 0;
  std::uint64_t dropped = 0;  // since the start
  std::uint64_t sent = 0;     // handed to the publisher since the start
};

// An event's text in the outbox, or nothing for an event that has no form
// in this output (it is then not queued). Called under the output's lock
// on the reader's thread: it must be quick and never wait.
using event_formatter = std::function<std::optional<std::string>(const event&)>;

class event_output final : public reader_observer {
 public:
  // Without a formatter, events leave as event_json() writes them.
  event_output(derive_options derive, outbox_limits limits,
               event_formatter format = {});

  void sighted(const sighting& s) override;
  void state_changed(const reader_state_change& c) override;
  // Lets time make its events (departures, moves).
  void tick(std::int64_t now_ms);

  // Hands the oldest events' texts to send, oldest first, up to max, and
  // removes those it accepts; stops at the first it refuses. When events
  // were dropped since the last hand-over, a gap event (made at now_ms)
  // goes first. Returns how many were accepted. send runs under this
  // object's lock: it must only queue, never wait.
  std::size_t hand_over(std::size_t max, std::int64_t now_ms,
                        const std::function<bool(const std::string&)>& send);
  // The same, all at once: up to max of the oldest texts (a gap's first)
  // go to send together, and are removed only when it accepts them all.
  // Returns how many it accepted: 0 when it refused, or nothing waited.
  std::size_t hand_over_batch(
      std::size_t max, std::int64_t now_ms,
      const std::function<bool(std::span<const std::string>)>& send);

  reader_link link() const;
  outbox_figures figures() const;

 private:
  void queue(const event& e);  // REQUIRES: mutex_ held
  // The text of a gap event for the drops since the last hand-over, or
  // nothing when there were none or the formatter gives the gap no form
  // (the drops stay counted in figures()); taken stores the record taken,
  // to restore when the text is not accepted. REQUIRES: mutex_ held
  std::optional<std::string> gap_text(std::int64_t now_ms, dropped_run& taken);

  mutable std::mutex mutex_;  // guards what follows
  event_deriver deriver_;
  event_formatter format_;
  outbox outbox_;
  reader_link link_;
  std::uint64_t sent_ = 0;
  std::vector<event> made_;         // scratch, kept for its capacity
  std::vector<std::string> batch_;  // the same
};

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_EVENT_OUTPUT_H_
