// Large pages for large buffers. Where the system maps memory in small
// pages, filling a fresh buffer of megabytes costs one page fault per few
// kilobytes, which on some machines takes longer than the work that fills
// it; a large page takes one fault per two megabytes.
#ifndef KORVO_PLATFORM_PAGES_H_
#define KORVO_PLATFORM_PAGES_H_

#include <cstddef>

namespace korvo {

// The size of a large page: the alignment advise_large_pages works in.
inline constexpr std::size_t kLargePage = std::size_t{2} << 20;

// Asks the system to back the large pages that lie wholly inside
// [p, p + n) with large pages when they are first touched. Pages at the
// ragged ends stay as they are, so a buffer that is filled to its end costs
// no more memory than before. Only advice: it may do nothing.
void advise_large_pages(void* p, std::size_t n);

}  // namespace korvo

#endif  // KORVO_PLATFORM_PAGES_H_
