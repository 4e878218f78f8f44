// The asynchronous run sequence in one process, against an in-process
// session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/event.h"
#include "platform/event_test_seam.h"
#include "tests/in_process_session.h"

namespace korvo {
namespace {

using korvo_test::in_process_session;
using korvo_test::printed_by;

run_options all_three_async() {
  run_options o;
  o.write_data = u"D";
  o.tag_id = u"T1";
  o.secure = true;
  o.print = true;
  o.heap = true;
  o.async = true;
  return o;
}

// Without an event an asynchronous operation could not be waited for, so
// none is started: each runs synchronously, with the synchronous lines.
TEST(AsyncRunInProcess, OperationWhoseEventCannotBeCreatedRunsSynchronously) {
  const struct {
    bool events_fail;
    std::string out;
    std::vector<std::string> calls;
  } cases[] = {
      {true,
       "Tag 'NEWTAG' written.\n"
       "Elapsed (write): Nms\n"
       "Tag 'T1' security set.\n"
       "Elapsed (secure): Nms\n"
       "Elapsed (read): Nms\n"
       "HEAP_PROPERTY_ACTUAL_SIZE=55\n",
       {"connectReader", "createTag", "writeTag", "release tag",
        "setTagSecurity", "readItems", "release items", "closeSession"}},
      {false,
       "ASYNC_HEAP_SIZE=55\n"
       "Tag 'NEWTAG' written.\n"
       "Elapsed (write): Nms\n"
       "ASYNC_HEAP_SIZE=55\n"
       "Tag 'T1' security set.\n"
       "Elapsed (secure): Nms\n"
       "ASYNC_HEAP_SIZE=55\n"
       "Elapsed (read): Nms\n"
       "HEAP_PROPERTY_ACTUAL_SIZE=55\n",
       {"connectReader", "createTag", "writeTagAsync", "release tag",
        "setTagSecurityAsync", "readItemsAsync", "release items",
        "closeSession"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events_fail ? "events fail" : "events work");
    in_process_session session(55, in_process_session::delivery::own_thread);
    run_options o = all_three_async();
    int flag = -1;
    fail_event_creation_for_testing(c.events_fail);
    const std::string out =
        printed_by([&] { flag = run_session(&session, o, 0); });
    fail_event_creation_for_testing(false);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(session.calls(), c.calls);
  }
}

// Many asynchronous runs in one process, the notices delivered inside the
// start or from threads racing the wait, succeeding or failing.
TEST(AsyncRunInProcess, ManyRunsInOneProcess) {
  constexpr int kRuns = 1000;
  const std::string succeeded =
      "ASYNC_HEAP_SIZE=8\n"
      "Tag 'NEWTAG' written.\n"
      "Elapsed (write): Nms\n"
      "ASYNC_HEAP_SIZE=8\n"
      "Tag 'T1' security set.\n"
      "Elapsed (secure): Nms\n"
      "ASYNC_HEAP_SIZE=8\n"
      "Elapsed (read): Nms\n"
      "HEAP_PROPERTY_ACTUAL_SIZE=8\n";
  const std::string failed =
      "async_write: tag lost\n"
      "Elapsed (write): Nms\n"
      "HEAP_PROPERTY_ACTUAL_SIZE=8\n";
  int as_expected = 0;
  for (int i = 0; i < kRuns; ++i) {
    const bool fails = i % 5 == 4;
    in_process_session session(8,
                               i % 3 == 0
                                   ? in_process_session::delivery::inside_start
                                   : in_process_session::delivery::own_thread,
                               fails ? -2 : 0);
    run_options o = all_three_async();
    int flag = -1;
    const std::string out =
        printed_by([&] { flag = run_session(&session, o, 0); });
    if (out == (fails ? failed : succeeded) && flag == (fails ? 1 : 0)) {
      ++as_expected;
    } else {
      ADD_FAILURE() << "run " << i << " ended with " << flag << ":\n" << out;
    }
  }
  EXPECT_EQ(as_expected, kRuns);
}

}  // namespace
}  // namespace korvo
