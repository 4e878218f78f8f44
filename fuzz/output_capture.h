// Catches what korvo prints to standard output during one fuzz input: the
// output descriptor is pointed at an in-memory file once, and each take()
// flushes korvo's buffer, returns what was written since the last take() and
// empties the file.
#ifndef KORVO_FUZZ_OUTPUT_CAPTURE_H_
#define KORVO_FUZZ_OUTPUT_CAPTURE_H_

#include <string>

namespace korvo_fuzz {

std::string take_output();

}  // namespace korvo_fuzz

#endif  // KORVO_FUZZ_OUTPUT_CAPTURE_H_
