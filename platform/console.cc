#include "platform/console.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cstring>

#include "platform/console_format.h"
#include "platform/utf.h"

namespace korvo {
namespace {

// Output collects in a buffer of this size and is written when the next
// piece would not fit, and at flush_output().
constexpr std::size_t kBufferSize = 1 << 16;

// Our formats pad to a few characters; a wider field is no format of ours
// and would only ask for huge amounts of memory.
constexpr std::size_t kMaxWidth = 1024;

struct output_state {
  std::string buffer;  // its size is the room; used bytes are waiting
  std::size_t used = 0;
  bool failed = false;
  int error_number = 0;
};

// A plain global, so that reaching it costs no guard on every print; nothing
// prints before main() starts.
output_state g_output;

output_state& state() { return g_output; }

void write_all(output_state& s) {
  const char* p = s.buffer.data();
  std::size_t left = s.used;
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
  s.used = 0;
}

// Copies [from, to) to p; null when [p, end) has no room for it.
char* copy_to(char* p, char* end, const char* from, const char* to) {
  const auto n = static_cast<std::size_t>(to - from);
  if (static_cast<std::size_t>(end - p) < n) return nullptr;
  std::memcpy(p, from, n);
  return p + n;
}

// As format_into, for a compiled format: no scanning, literal text copied in
// blocks of kLiteralPadding bytes (the literal is padded for the last one).
char* format_plan_into(char* p, char* const end, const format_plan& fmt,
                       std::initializer_list<print_arg> args) {
  auto next = args.begin();
  const char* literal = fmt.literal;
  for (std::size_t k = 0; k < fmt.piece_count; ++k) {
    const format_piece& piece = fmt.pieces[k];
    const std::size_t n = piece.literal_size;
    if (static_cast<std::size_t>(end - p) < n + kLiteralPadding) return nullptr;
    // Most pieces are short: one fixed-size copy, no loop to mispredict.
    std::memcpy(p, literal, kLiteralPadding);
    for (std::size_t b = kLiteralPadding; b < n; b += kLiteralPadding) {
      std::memcpy(p + b, literal + b, kLiteralPadding);
    }
    p += n;
    literal += n;
    if (piece.conversion == 0) break;
    if (next == args.end()) continue;
    p = format_detail::put_conversion(p, end, piece.conversion, piece.fill,
                                      piece.width, *next++);
    if (p == nullptr) return nullptr;
  }
  return p;
}

// Formats into [p, end) and returns the end of what was written, or null
// when the room is too small (what was written then is garbage). This is
// the one formatter behind all output, so it writes through a pointer and
// checks the room once per piece rather than once per character.
char* format_into(char* p, char* const end, std::string_view fmt,
                  std::initializer_list<print_arg> args) {
  auto next = args.begin();
  const char* f = fmt.data();
  const char* const fend = f + fmt.size();
  while (f < fend) {
    while (fend - f >= 8 && end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, f, 8);
      const std::uint64_t x = word ^ 0x2525252525252525ULL;
      const std::uint64_t marks =
          (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
      std::memcpy(p, f, 8);
      if (marks != 0) {
        const int k = __builtin_ctzll(marks) / 8;
        p += k;
        f += k;
        break;
      }
      p += 8;
      f += 8;
    }
    while (f < fend && *f != '%') {
      if (p == end) return nullptr;
      *p++ = *f++;
    }
    if (f == fend) break;
    const char* const pct = f++;
    if (f < fend && *f == '%') {
      if (p == end) return nullptr;
      *p++ = '%';
      ++f;
      continue;
    }
    char fill = ' ';
    std::size_t width = 0;
    char conv = f < fend ? *f : '\0';
    if (conv == 's' || conv == 'd' || conv == 'u') {
      ++f;  // the usual plain conversion
    } else {
      if (f < fend && *f == '0') {
        fill = '0';
        ++f;
      }
      while (f < fend && *f >= '0' && *f <= '9') {
        if (width <= kMaxWidth) {
          width = width * 10 + static_cast<std::size_t>(*f - '0');
        }
        ++f;
      }
      if (f == fend) return copy_to(p, end, pct, fend);
      conv = *f++;
      if ((conv != 's' && conv != 'd' && conv != 'u') || width > kMaxWidth) {
        if ((p = copy_to(p, end, pct, f)) == nullptr) return nullptr;
        continue;
      }
    }
    if (next == args.end()) continue;
    const print_arg& arg = *next++;
    if ((p = format_detail::put_conversion(p, end, conv, fill, width, arg)) ==
        nullptr) {
      return nullptr;
    }
  }
  return p;
}

// Room that is enough, at the first try, unless a conversion pads wider than
// its argument: the literal text and the longest form of each argument
// (three bytes per UTF-16 unit, or the longest number), plus margins for how
// the formatters write. A zero-terminated text is written in steps of up to
// four bytes and starts a step only with room for a whole one (+4 per text);
// the few bytes of slack after the literal (+8) keep a format that ends in
// an unknown conversion, copied as written, from a second try. The margins
// only save work: a formatter that finds too little room says so and is run
// again with more.
std::size_t room_for(std::size_t literal_size,
                     std::initializer_list<print_arg> args) {
  std::size_t room = literal_size + 8;
  for (const print_arg& a : args) {
    room += a.type() == print_arg::kind::text
                ? kMaxUtf8PerUnit * a.text().size() + 4
                : format_detail::kMaxDigits;
  }
  return room;
}

std::size_t literal_size(std::string_view fmt) { return fmt.size(); }

std::size_t literal_size(const format_plan& fmt) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < fmt.piece_count; ++k) {
    n += fmt.pieces[k].literal_size;
  }
  return n;
}

char* format_any(char* p, char* end, std::string_view fmt,
                 std::initializer_list<print_arg> args) {
  return format_into(p, end, fmt, args);
}

char* format_any(char* p, char* end, const format_plan& fmt,
                 std::initializer_list<print_arg> args) {
  return format_plan_into(p, end, fmt, args);
}

// A format made into code: its formatter and the size of its literal text.
struct formatted {
  format_detail::formatter format;
  std::size_t literal;
};

std::size_t literal_size(const formatted& fmt) { return fmt.literal; }

char* format_any(char* p, char* end, const formatted& fmt,
                 std::initializer_list<print_arg> args) {
  return fmt.format(p, end, args);
}

template <class Format>
void format_to_string(std::string& out, const Format& fmt,
                      std::initializer_list<print_arg> args) {
  const std::size_t old_size = out.size();
  std::size_t room = room_for(literal_size(fmt), args) + 64;
  for (;;) {
    out.resize(old_size + room);
    char* const begin = out.data() + old_size;
    if (char* const r = format_any(begin, begin + room, fmt, args)) {
      out.resize(static_cast<std::size_t>(r - out.data()));
      return;
    }
    room *= 2;
  }
}

template <class Format>
void print_format(const Format& fmt, std::initializer_list<print_arg> args) {
  output_state& s = state();
  if (s.failed) return;
  if (s.buffer.empty()) s.buffer.resize(kBufferSize);
  char* r = format_any(s.buffer.data() + s.used,
                       s.buffer.data() + s.buffer.size(), fmt, args);
  if (r == nullptr) {
    // Write what waits, then format again into the whole buffer, grown for
    // a piece larger than it.
    write_all(s);
    if (s.failed) return;
    const std::size_t room = room_for(literal_size(fmt), args);
    if (s.buffer.size() < room) s.buffer.resize(room);
    while ((r = format_any(s.buffer.data(), s.buffer.data() + s.buffer.size(),
                           fmt, args)) == nullptr) {
      s.buffer.resize(2 * s.buffer.size());
    }
  }
  s.used = static_cast<std::size_t>(r - s.buffer.data());
}

}  // namespace

void format_to(std::string& out, std::string_view fmt,
               std::initializer_list<print_arg> args) {
  format_to_string(out, fmt, args);
}

void format_to(std::string& out, const format_plan& fmt,
               std::initializer_list<print_arg> args) {
  format_to_string(out, fmt, args);
}

void print(std::string_view fmt, std::initializer_list<print_arg> args) {
  print_format(fmt, args);
}

namespace format_detail {

void print_with(formatter format, std::size_t literal_size,
                std::initializer_list<print_arg> args) {
  print_format(formatted{format, literal_size}, args);
}

output_window output_room() {
  output_state& s = state();
  if (s.failed) return {nullptr, nullptr};
  if (s.buffer.empty()) s.buffer.resize(kBufferSize);
  return {s.buffer.data() + s.used, s.buffer.data() + s.buffer.size()};
}

void output_commit(char* written_end) {
  output_state& s = state();
  s.used = static_cast<std::size_t>(written_end - s.buffer.data());
}

}  // namespace format_detail

bool flush_output() {
  output_state& s = state();
  if (!s.failed && s.used > 0) write_all(s);
  return !s.failed;
}

bool output_failed() { return state().failed; }

int output_error_number() { return state().error_number; }

bool output_reader_left() {
  return state().failed && state().error_number == EPIPE;
}

void keep_running_when_output_closes() { ::signal(SIGPIPE, SIG_IGN); }

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
