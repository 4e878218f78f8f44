// The statuses the session reports through getLastError. Every failure is
// negative; the message says what failed and, for service failures, names
// the URL that was asked.
#ifndef KORVO_QEL_STATUS_H_
#define KORVO_QEL_STATUS_H_

#include <cstdint>

namespace rfid_qel {

enum status : std::int32_t {
  status_ok = 0,
  status_bad_argument = -1,   // a null or foreign argument, a spent tag
  status_bad_url = -2,        // openService got a URL it cannot use
  status_not_open = -3,       // no service is open in this session
  status_unreachable = -4,    // no connection to the service
  status_timed_out = -5,      // the service did not answer in time
  status_service_error = -6,  // the service answered with an error
  status_bad_answer = -7,     // the answer is not what the protocol says
  status_internal = -8,       // out of memory, no thread, or another fault
};

}  // namespace rfid_qel

#endif  // KORVO_QEL_STATUS_H_
