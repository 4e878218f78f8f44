#include "tests/support/output_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace korvo_test {

output_capture::output_capture() {
  std::fflush(stdout);
  korvo::flush_output();
  file_ = ::memfd_create("korvo-stdout", 0);
  saved_ = ::dup(STDOUT_FILENO);
  if (file_ < 0 || saved_ < 0 || ::dup2(file_, STDOUT_FILENO) < 0) {
    std::perror("output capture");
    std::abort();
  }
}

output_capture::~output_capture() {
  flushed_ = korvo::flush_output();
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  ::close(file_);
}

std::string output_capture::take() {
  flushed_ = korvo::flush_output();
  const off_t end = ::lseek(file_, 0, SEEK_CUR);
  std::string out(static_cast<std::size_t>(end), '\0');
  if (end > 0 && ::pread(file_, out.data(), out.size(), 0) != end) {
    std::abort();
  }
  if (::ftruncate(file_, 0) != 0 || ::lseek(file_, 0, SEEK_SET) != 0) {
    std::abort();
  }
  return out;
}

}  // namespace korvo_test
