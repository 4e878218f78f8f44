// Completion objects for the session's asynchronous operations.
//
// Words, here and in the run: a completion is the object the session is
// handed; its notice is the session's one call of onCompleted on it.
// "callback" appears only in the class names the contract fixes.
//
// The run constructs one on its stack, hands it to the session's start call
// as the completion interface and, when the start succeeded, waits on its
// event. The session calls onCompleted exactly once, possibly on a thread of
// its own and even before the start returns; the notice stores its results
// and sets the event as its very last use of the object, so the run may read
// the fields and destroy the completion as soon as its wait returns. No lock
// guards the fields: setting the event after storing them is what orders the
// stores before the run's reads.
#ifndef KORVO_ASYNC_COMPLETION_H_
#define KORVO_ASYNC_COMPLETION_H_

#include <cstdint>

#include "platform/event.h"
#include "session/rfid_session.h"

namespace korvo {

// Owns the completion's manual-reset event, created unset.
class async_callback {
 public:
  async_callback() = default;
  async_callback(const async_callback&) = delete;
  async_callback& operator=(const async_callback&) = delete;

  // False when the event could not be created. Such a completion cannot be
  // waited on, so it must not be handed to a session.
  bool has_event() const { return event_.valid(); }

  // Sets the event (if it exists). The caller must not touch the completion
  // afterwards: the waiting thread may already have destroyed it.
  void signal() { event_.set(); }

  // Waits for the event, timeout_ms at most (kWaitForever: no limit). True
  // only when the wait ended because the event was set; false at once
  // without an event.
  bool wait(std::uint32_t timeout_ms) { return event_.wait(timeout_ms); }

 private:
  manual_reset_event event_;
};

// Each notice samples the session's heap figure, stores its arguments,
// reports the session's status under its label ("async_write",
// "async_security", "async_read": a negative status prints its line), then
// signals. failed keeps that report's verdict, so that the run counts a
// failed notice as a failed operation: the one answer of the session that
// printed the line (or printed none) decides, and a notice never fails
// without its line, nor prints one and succeeds.

struct async_write_callback final : async_callback, qel::IRfidAsyncTagWritten {
  void onCompleted(std::int32_t value, IRfidSession* session) override;

  std::int32_t result = 0;  // the notice's value, kept but not used
  std::uint32_t heap_size = 0;
  bool failed = false;
};

struct async_security_callback final : async_callback,
                                       qel::IRfidAsyncTagSecurity {
  // Both values are ignored: what they carry is the session library's
  // choice (ours passes the operation's status and 1 for set, 0 for clear),
  // and the outcome is read through getLastError like every other failure.
  void onCompleted(std::int32_t value1, std::int32_t value2,
                   IRfidSession* session) override;

  std::uint32_t heap_size = 0;
  bool failed = false;
};

struct async_read_callback final : async_callback, qel::IRfidAsyncItemsRead {
  void onCompleted(IRfidItemList* list, IRfidSession* session) override;

  // The list delivered by the notice (or none); the run releases it.
  IRfidItemList* items = nullptr;
  std::uint32_t heap_size = 0;
  bool failed = false;
};

}  // namespace korvo

#endif  // KORVO_ASYNC_COMPLETION_H_
