// A manual-reset event (stands in for CreateEventW, SetEvent,
// WaitForSingleObject and CloseHandle).
#ifndef KORVO_PLATFORM_EVENT_H_
#define KORVO_PLATFORM_EVENT_H_

#include <cstdint>

namespace korvo {

// A wait with this timeout has no time limit.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Starts unset; once set it stays set, so a set that comes before the wait is
// not lost and every wait after it returns at once. set() and wait() may be
// called from any threads; the object itself is not copied or moved.
class manual_reset_event {
 public:
  // Creates the event. Creation can fail (the system has none to give):
  // valid() then answers false, set() does nothing and wait() returns false
  // at once.
  manual_reset_event();
  ~manual_reset_event();
  manual_reset_event(const manual_reset_event&) = delete;
  manual_reset_event& operator=(const manual_reset_event&) = delete;

  bool valid() const { return state_ != nullptr; }

  // Sets the event and wakes every waiter. What the caller stored before
  // set() is visible to a waiter once its wait returns true. A waiter can see
  // the event set only after this call is done with the object, so the
  // waiter may destroy it as soon as its wait returns, even while this call
  // has not yet returned to its caller.
  void set();

  // Waits until the event is set or timeout_ms milliseconds have passed
  // (kWaitForever: no limit). True only when the wait ended because the
  // event is set.
  bool wait(std::uint32_t timeout_ms);

 private:
  struct state;
  state* state_;
};

}  // namespace korvo

#endif  // KORVO_PLATFORM_EVENT_H_
