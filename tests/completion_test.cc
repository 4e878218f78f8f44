#include "async/completion.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/event_test_seam.h"
#include "tests/in_process_session.h"

namespace korvo {
namespace {

using korvo_test::in_process_session;
using korvo_test::printed_by;

struct stored {
  std::uint32_t heap_size = 0;
  bool failed = false;
  bool signalled = false;
};

// Starts one operation on the session, which calls the notice inside the
// start, and returns what the completion stored.
using start_fn = std::function<stored(in_process_session&)>;

TEST(AsyncCallback, NoticeStoresHeapAndStatusReportsFailureThenSignals) {
  const struct {
    const char* label;
    start_fn start;
  } operations[] = {
      {"async_write",
       [](in_process_session& s) {
         async_write_callback c;
         EXPECT_TRUE(s.writeTagAsync(nullptr, &c));
         EXPECT_EQ(c.result, 17);  // the notice's value, as delivered
         return stored{c.heap_size, c.failed, c.wait(0)};
       }},
      {"async_security",
       [](in_process_session& s) {
         async_security_callback c;
         EXPECT_TRUE(s.setTagSecurityAsync(u"T1", true, &c));
         return stored{c.heap_size, c.failed, c.wait(0)};
       }},
      {"async_read",
       [](in_process_session& s) {
         async_read_callback c;
         EXPECT_TRUE(s.readItemsAsync(&c));
         EXPECT_NE(c.items, nullptr);
         if (c.items != nullptr) c.items->release();
         return stored{c.heap_size, c.failed, c.wait(0)};
       }},
  };
  for (const auto& op : operations) {
    for (std::int32_t notice_status : {0, 3, -3}) {
      SCOPED_TRACE(std::string(op.label) + ", status " +
                   std::to_string(notice_status));
      in_process_session session(
          321, in_process_session::delivery::inside_start, notice_status);
      stored got;
      const std::string printed = printed_by([&] { got = op.start(session); });
      EXPECT_EQ(got.heap_size, 321u);
      EXPECT_EQ(got.failed, notice_status < 0);
      EXPECT_TRUE(got.signalled);
      EXPECT_EQ(printed, notice_status < 0
                             ? std::string(op.label) + ": tag lost\n"
                             : std::string());
    }
  }
}

TEST(AsyncCallback, WithoutEventWaitReturnsAtOnce) {
  fail_event_creation_for_testing(true);
  async_write_callback c;
  fail_event_creation_for_testing(false);
  EXPECT_FALSE(c.has_event());
  EXPECT_FALSE(c.wait(kWaitForever));
  async_write_callback with_event;
  EXPECT_TRUE(with_event.has_event());
  EXPECT_FALSE(with_event.wait(0));
}

}  // namespace
}  // namespace korvo
