// A seam for tests of the code that must cope with an event that cannot be
// created. Only tests include this header; the client never turns it on.
#ifndef KORVO_PLATFORM_EVENT_TEST_SEAM_H_
#define KORVO_PLATFORM_EVENT_TEST_SEAM_H_

namespace korvo {

// While on, creating a manual_reset_event fails as if the system had none to
// give.
void fail_event_creation_for_testing(bool fail);

}  // namespace korvo

#endif  // KORVO_PLATFORM_EVENT_TEST_SEAM_H_
