#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

#include <charconv>

#include "platform/utf.h"

namespace korvo {
namespace {

constexpr std::size_t kFlushAt = 1 << 16;

// Our formats pad to a few characters; a wider field is no format of ours
// and would only ask for huge amounts of memory.
constexpr std::size_t kMaxWidth = 1024;

struct output_state {
  std::string buffer;
  bool failed = false;
  int error_number = 0;
};

output_state& state() {
  static output_state s;
  return s;
}

void write_all(output_state& s) {
  const char* p = s.buffer.data();
  std::size_t left = s.buffer.size();
  while (left > 0 && !s.failed) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      s.failed = true;
      s.error_number = errno;
    } else {
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  s.buffer.clear();
}

void pad_to(std::string& out, std::size_t start, std::size_t width,
            char fill) {
  const std::size_t len = out.size() - start;
  if (len < width) {
    // Zero padding goes after a minus sign.
    std::size_t at = start;
    if (fill == '0' && len > 0 && out[start] == '-') ++at;
    out.insert(at, width - len, fill);
  }
}

}  // namespace

void format_to(std::string& out, std::string_view fmt,
               std::initializer_list<print_arg> args) {
  auto next = args.begin();
  const std::size_t n = fmt.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t pct = fmt.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, pct - i));
    std::size_t j = pct + 1;
    if (j < n && fmt[j] == '%') {
      out.push_back('%');
      i = j + 1;
      continue;
    }
    char fill = ' ';
    if (j < n && fmt[j] == '0') {
      fill = '0';
      ++j;
    }
    std::size_t width = 0;
    while (j < n && fmt[j] >= '0' && fmt[j] <= '9') {
      if (width <= kMaxWidth) {
        width = width * 10 + static_cast<std::size_t>(fmt[j] - '0');
      }
      ++j;
    }
    if (j >= n) {
      out.append(fmt.substr(pct));
      break;
    }
    const char conv = fmt[j];
    if ((conv != 's' && conv != 'd' && conv != 'u') || width > kMaxWidth) {
      out.append(fmt.substr(pct, j + 1 - pct));
      i = j + 1;
      continue;
    }
    i = j + 1;
    if (next == args.end()) continue;
    const print_arg& arg = *next++;
    const std::size_t start = out.size();
    char digits[16];
    if (conv == 's' && arg.type() == print_arg::kind::text) {
      append_utf8(out, arg.text());
    } else if (conv != 's' && arg.type() != print_arg::kind::text) {
      // As printf does, the 32 bits are read as the conversion says.
      const std::uint32_t bits =
          arg.type() == print_arg::kind::signed_int
              ? static_cast<std::uint32_t>(arg.signed_value())
              : arg.unsigned_value();
      auto r = conv == 'd' ? std::to_chars(digits, digits + sizeof digits,
                                           static_cast<std::int32_t>(bits))
                           : std::to_chars(digits, digits + sizeof digits, bits);
      out.append(digits, r.ptr);
    } else {
      continue;
    }
    pad_to(out, start, width, fill);
  }
}

void print(std::string_view fmt, std::initializer_list<print_arg> args) {
  output_state& s = state();
  if (s.failed) return;
  format_to(s.buffer, fmt, args);
  if (s.buffer.size() >= kFlushAt) write_all(s);
}

bool flush_output() {
  output_state& s = state();
  if (!s.failed && !s.buffer.empty()) write_all(s);
  return !s.failed;
}

bool output_failed() { return state().failed; }

int output_error_number() { return state().error_number; }

std::string read_line(std::size_t max_bytes) {
  std::string line;
  while (line.size() < max_bytes) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.push_back(c);
    if (c == '\n') break;
  }
  return line;
}

}  // namespace korvo
