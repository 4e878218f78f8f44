// A 32-bit millisecond tick counter (stands in for GetTickCount).
#ifndef KORVO_PLATFORM_TICK_H_
#define KORVO_PLATFORM_TICK_H_

#include <cstdint>

namespace korvo {

// Milliseconds of a monotonic clock, truncated to 32 bits so that it wraps.
// Only useful for computing deltas of time.
std::uint32_t tick_count();

// Milliseconds from start to end, right across one wrap of the counter.
inline std::uint32_t elapsed_ms(std::uint32_t start, std::uint32_t end) {
  return end - start;
}

}  // namespace korvo

#endif  // KORVO_PLATFORM_TICK_H_
