// Binding to the session library: load it, resolve its entry point, create a
// session.
#ifndef KORVO_SESSION_BINDING_H_
#define KORVO_SESSION_BINDING_H_

#include "session/rfid_session.h"

namespace korvo {

struct binding {
  // Null when binding failed; exit_code then says how the run ends.
  IRfidSession* session = nullptr;
  int exit_code = 0;
};

// Loads the library at library_path (never unloaded; a path text carries its
// bytes as path_to_utf16 makes them), resolves the library's own
// RfidQelCreateSessionEx and asks it for an interface-version-2 session. On
// failure prints the matching "ERROR: ..." line to standard output and
// returns exit code 2 (no library, no entry point) or 1 (version refused).
binding bind_session(const char16_t* library_path);

}  // namespace korvo

#endif  // KORVO_SESSION_BINDING_H_
