#include "tag_service/model/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "tag_service/model/model.h"

namespace tag_service {
namespace {

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

// The temporary name's pattern beside path: hidden, so that a listing of
// the folder does not show it as a second state.
std::string temp_pattern(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name =
      slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + name + ".XXXXXX";
}

// A new temporary file beside path, open for writing; -1 with errno set.
int make_temp(const std::string& path, std::string& temp) {
  temp = temp_pattern(path);
  // mkstemp creates the name with O_EXCL and mode 0600: a link or file
  // already there makes it pick another name, never open that one.
  return ::mkostemp(temp.data(), O_CLOEXEC);
}

}  // namespace

std::optional<file_text> read_file_text(const std::string& path,
                                        std::size_t max_bytes,
                                        bool missing_ok) {
  // Non-blocking, so that opening a FIFO with no writer cannot hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && missing_ok) return std::nullopt;
  if (fd < 0) {
    throw input_error("cannot read " + path + ": " + std::strerror(errno));
  }
  fd_closer close_at_end{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw input_error("cannot read " + path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw input_error(path + " is not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    throw input_error(path + " is larger than " + std::to_string(max_bytes) +
                      " bytes");
  }
  file_text out;
  out.permissions = st.st_mode & 07777;
  out.text.assign(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t got = 0;
  while (got < out.text.size()) {
    const ssize_t n = ::read(fd, out.text.data() + got, out.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw input_error("cannot read " + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  // One byte more than the size it had: it grew while being read.
  if (got > static_cast<std::size_t>(st.st_size)) {
    throw input_error(path + " changed while it was read");
  }
  out.text.resize(got);
  return out;
}

bool replace_file(const std::string& path, const std::string& text,
                  std::string& why) {
  std::string temp;
  const int fd = make_temp(path, temp);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (!ok) why = std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    ok = false;
    why = std::strerror(errno);
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    why = std::strerror(errno);
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool folder_writable(const std::string& path, std::string& why) {
  std::string temp;
  const int fd = make_temp(path, temp);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(temp.c_str());
  return true;
}

}  // namespace tag_service
