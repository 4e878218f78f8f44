#include "platform/event.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/event_test_seam.h"

namespace korvo {
namespace {

std::atomic<bool> g_fail_creation{false};

}  // namespace

// The state lives apart from the object so that, as with a system handle,
// creating an event is an allocation that can fail instead of throwing.
struct manual_reset_event::state {
  std::mutex mutex;
  std::condition_variable woken;
  bool set = false;
};

manual_reset_event::manual_reset_event()
    : state_(g_fail_creation.load(std::memory_order_relaxed)
                 ? nullptr
                 : new (std::nothrow) state) {}

manual_reset_event::~manual_reset_event() { delete state_; }

void manual_reset_event::set() {
  if (state_ == nullptr) return;
  // The flag is set and the waiters notified while the mutex is held: a
  // waiter reads the flag only under the mutex, so it cannot see it set (and
  // destroy the event) before the unlock, the last touch of the state.
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->set = true;
  state_->woken.notify_all();
}

bool manual_reset_event::wait(std::uint32_t timeout_ms) {
  if (state_ == nullptr) return false;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (timeout_ms == kWaitForever) {
    state_->woken.wait(lock, [this] { return state_->set; });
    return true;
  }
  return state_->woken.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return state_->set; });
}

void fail_event_creation_for_testing(bool fail) {
  g_fail_creation.store(fail, std::memory_order_relaxed);
}

}  // namespace korvo
