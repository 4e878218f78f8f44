// Binding to the session library: load it, resolve its entry point, create a
// session; build the service URL; report a session's failures.
#ifndef KORVO_SESSION_BINDING_H_
#define KORVO_SESSION_BINDING_H_

#include <string>

#include "session/rfid_session.h"

namespace korvo {

struct binding {
  // Null when binding failed; exit_code then says how the run ends.
  IRfidSession* session = nullptr;
  int exit_code = 0;
};

// Loads the library at library_path (never unloaded), resolves
// RfidQelCreateSessionEx and asks it for an interface-version-2 session. On
// failure prints the matching "ERROR: ..." line to standard output and
// returns exit code 2 (no library, no entry point) or 1 (version refused).
binding bind_session(const char16_t* library_path);

// "http://" + host + ":21645/TagService", or service_url as a whole when it
// is given (then host plays no part).
std::u16string service_url(const char16_t* host, const char16_t* service_url);

// Asks the session for its last status; when it is negative, prints
// "<label>: <message>" and returns 1, else prints nothing and returns 0.
// A negative status without a message prints "status <n>" as the message.
// Safe to call from a session's thread inside a completion notice.
int report_error(IRfidSession* session, const char16_t* label);

}  // namespace korvo

#endif  // KORVO_SESSION_BINDING_H_
