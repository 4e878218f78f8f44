#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event_test_seam.h"

namespace korvo {
namespace {

TEST(ManualResetEvent, StartsUnsetAndStaysSetOnceSet) {
  manual_reset_event e;
  ASSERT_TRUE(e.valid());
  EXPECT_FALSE(e.wait(0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.wait(20));
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(20));
  // A set before the wait is not lost, and the event stays set.
  e.set();
  EXPECT_TRUE(e.wait(kWaitForever));
  EXPECT_TRUE(e.wait(0));
  e.set();
  EXPECT_TRUE(e.wait(kWaitForever));
}

TEST(ManualResetEvent, SetReleasesEveryWaiter) {
  manual_reset_event e;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (e.wait(kWaitForever)) ++released;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 0);
  e.set();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

TEST(ManualResetEvent, CreationThatFailsLeavesNothingToWaitOn) {
  fail_event_creation_for_testing(true);
  manual_reset_event failed;
  fail_event_creation_for_testing(false);
  EXPECT_FALSE(failed.valid());
  failed.set();
  // Returns at once: there is nothing that could ever be set.
  EXPECT_FALSE(failed.wait(kWaitForever));
  manual_reset_event created;
  EXPECT_TRUE(created.valid());
}

// The waiter destroys the event the moment its wait returns, while the
// setting thread may still be inside set(). A set() that touched the event
// after a waiter could see it set shows here as a use after free (ASan) or a
// race (TSan); a lost wake-up hangs the test.
TEST(ManualResetEvent, WaiterMayDestroyTheEventAsSoonAsItsWaitReturns) {
  constexpr int kRounds = 10000;
  std::mutex mutex;
  std::condition_variable handed;
  manual_reset_event* pending = nullptr;
  bool finished = false;
  std::thread setter([&] {
    for (;;) {
      manual_reset_event* e;
      {
        std::unique_lock<std::mutex> lock(mutex);
        handed.wait(lock, [&] { return pending != nullptr || finished; });
        if (pending == nullptr) return;
        e = pending;
        pending = nullptr;
      }
      e->set();
    }
  });
  int woken = 0;
  for (int i = 0; i < kRounds; ++i) {
    auto e = std::make_unique<manual_reset_event>();
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending = e.get();
    }
    handed.notify_one();
    // Sometimes the set comes before the wait, sometimes during it.
    if (i % 3 == 0) std::this_thread::yield();
    if (e->wait(kWaitForever)) ++woken;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  handed.notify_one();
  setter.join();
  EXPECT_EQ(woken, kRounds);
}

}  // namespace
}  // namespace korvo
