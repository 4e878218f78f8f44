#include "fuzz/output_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace korvo_fuzz {
namespace {

int capture_fd() {
  static const int fd = [] {
    const int mem = ::memfd_create("korvo-stdout", 0);
    if (mem < 0 || ::dup2(mem, STDOUT_FILENO) < 0) {
      std::perror("output capture");
      std::abort();
    }
    return mem;
  }();
  return fd;
}

}  // namespace

std::string take_output() {
  const int fd = capture_fd();
  korvo::flush_output();
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  std::string out(static_cast<std::size_t>(end), '\0');
  if (end > 0 && ::pread(fd, out.data(), out.size(), 0) != end) std::abort();
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
  return out;
}

}  // namespace korvo_fuzz
