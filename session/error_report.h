// The one routine through which a session's failures reach the user.
#ifndef KORVO_SESSION_ERROR_REPORT_H_
#define KORVO_SESSION_ERROR_REPORT_H_

#include "session/rfid_session.h"

namespace korvo {

// Asks the session for its last status; when it is negative, prints
// "<label>: <message>" and returns 1, else prints nothing and returns 0.
// A negative status without a message prints "status <n>" as the message.
// Safe to call from a session's thread inside a completion notice.
int report_error(IRfidSession* session, const char16_t* label);

}  // namespace korvo

#endif  // KORVO_SESSION_ERROR_REPORT_H_
