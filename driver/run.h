// One run of korvo, from the process arguments to the exit code.
#ifndef KORVO_DRIVER_RUN_H_
#define KORVO_DRIVER_RUN_H_

#include <string>
#include <vector>

#include "driver/options.h"
#include "session/rfid_session.h"

namespace korvo {

// Runs the stages on an opened session in their fixed order under the error
// flag, then the heap figure, the disconnect and closeSession (always).
// Returns the error flag. open_flag is the flag the open left.
int run_session(IRfidSession* session, run_options& options, int open_flag);

// The whole program: parses args (UTF-8 bytes), prints the usage text when
// there is nothing to do, binds and opens the session and runs it. Returns
// the exit code. Output still buffered is written by the caller.
int run_korvo(const std::vector<std::string>& args);

}  // namespace korvo

#endif  // KORVO_DRIVER_RUN_H_
