#include "platform/pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace korvo {

void advise_large_pages(void* p, std::size_t n) {
#if defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (start + n) & ~(kLargePage - 1);
  if (last > first) {
    // A refusal (no large pages here) leaves the memory as it was.
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  static_cast<void>(p);
  static_cast<void>(n);
#endif
}

}  // namespace korvo
