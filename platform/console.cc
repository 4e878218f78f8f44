#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cstring>

#include "platform/utf.h"

namespace korvo {
namespace {

// Output collects in a buffer of this size and is written when the next
// piece would not fit, and at flush_output().
constexpr std::size_t kBufferSize = 1 << 16;

// Our formats pad to a few characters; a wider field is no format of ours
// and would only ask for huge amounts of memory.
constexpr std::size_t kMaxWidth = 1024;

// The longest "%d" or "%u" without padding: "-2147483648".
constexpr std::size_t kMaxDigits = 11;

struct output_state {
  std::string buffer;  // its size is the room; used bytes are waiting
  std::size_t used = 0;
  bool failed = false;
  int error_number = 0;
};

// Constant-initialized, so that reaching it costs no guard on every print.
constinit output_state g_output;

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

// Writes a zero-terminated text as UTF-8 (an unpaired surrogate as U+FFFD),
// with a backslash before each '/' and '#' when kEscape; null when [p, end)
// has no room for it. The text is read once, unit by unit, which beats
// measuring it first: most texts are short and vary in length.
template <bool kEscape>
char* put_text(char* p, char* const end, const char16_t* t) {
  // The most one step writes: a surrogate pair, or three bytes.
  constexpr std::ptrdiff_t kStep = 4;
  if (end - p < kStep) return nullptr;
  char* const last = end - kStep;  // a step may start at or before it
  for (;;) {
    const char16_t c = *t;
    // The common case first: ASCII other than the terminator (and, when
    // escaping, other than the separators).
    if (static_cast<std::uint16_t>(c - 1) < 0x7F &&
        !(kEscape && (c == u'/' || c == u'#'))) {
      *p++ = static_cast<char>(c);
      ++t;
    } else {
      if (c == 0) return p;
      ++t;
      if (c < 0x80) {  // an escaped separator
        *p++ = '\\';
        *p++ = static_cast<char>(c);
      } else if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0xD800 || c > 0xDFFF) {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c <= 0xDBFF && *t >= 0xDC00 && *t <= 0xDFFF) {
        // A high surrogate is never the last unit: the terminator follows.
        const std::uint32_t cp =
            0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10) +
            (static_cast<std::uint32_t>(*t++) - 0xDC00);
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        *p++ = '\xEF';  // U+FFFD
        *p++ = '\xBF';
        *p++ = '\xBD';
      }
    }
    if (p > last) {
      // Near the end of the room: only the terminator may still fit.
      return *t == 0 ? p : nullptr;
    }
  }
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
    char* const start = p;
    if (conv == 's' && arg.type() == print_arg::kind::text) {
      if (arg.text_data() == nullptr) {
        // Prints as nothing.
      } else if (arg.text_size() == print_arg::kZeroTerminated) {
        p = arg.escaped() ? put_text<true>(p, end, arg.text_data())
                          : put_text<false>(p, end, arg.text_data());
        if (p == nullptr) return nullptr;
      } else {
        const std::u16string_view text = arg.text();
        if (static_cast<std::size_t>(end - p) < kMaxUtf8PerUnit * text.size()) {
          return nullptr;
        }
        p = write_utf8(p, text);
      }
    } else if (conv != 's' && arg.type() != print_arg::kind::text) {
      if (static_cast<std::size_t>(end - p) < kMaxDigits) return nullptr;
      // As printf does, the 32 bits are read as the conversion says.
      const std::uint32_t bits =
          arg.type() == print_arg::kind::signed_int
              ? static_cast<std::uint32_t>(arg.signed_value())
              : arg.unsigned_value();
      p = conv == 'd'
              ? std::to_chars(p, p + kMaxDigits, static_cast<std::int32_t>(bits)).ptr
              : std::to_chars(p, p + kMaxDigits, bits).ptr;
    } else {
      continue;
    }
    const auto len = static_cast<std::size_t>(p - start);
    if (len < width) {
      if (static_cast<std::size_t>(end - start) < width) return nullptr;
      // Zero padding goes after a minus sign.
      char* at = start;
      if (fill == '0' && len > 0 && *start == '-') ++at;
      const std::size_t pad = width - len;
      std::memmove(at + pad, at, static_cast<std::size_t>(p - at));
      std::memset(at, fill, pad);
      p = start + width;
    }
  }
  return p;
}

// Room that is enough unless a conversion pads wider than its argument.
std::size_t room_for(std::string_view fmt,
                     std::initializer_list<print_arg> args) {
  std::size_t room = fmt.size();
  for (const print_arg& a : args) {
    room += a.type() == print_arg::kind::text
                ? kMaxUtf8PerUnit * a.text().size()
                : kMaxDigits;
  }
  return room;
}

}  // namespace

void format_to(std::string& out, std::string_view fmt,
               std::initializer_list<print_arg> args) {
  const std::size_t old_size = out.size();
  std::size_t room = room_for(fmt, args) + 64;
  for (;;) {
    out.resize(old_size + room);
    char* const begin = out.data() + old_size;
    if (char* const r = format_into(begin, begin + room, fmt, args)) {
      out.resize(static_cast<std::size_t>(r - out.data()));
      return;
    }
    room *= 2;
  }
}

void print(std::string_view fmt, std::initializer_list<print_arg> args) {
  output_state& s = state();
  if (s.failed) return;
  if (s.buffer.empty()) s.buffer.resize(kBufferSize);
  char* r = format_into(s.buffer.data() + s.used,
                        s.buffer.data() + s.buffer.size(), fmt, args);
  if (r == nullptr) {
    // Write what waits, then format again into the whole buffer, grown for
    // a piece larger than it.
    write_all(s);
    if (s.failed) return;
    if (s.buffer.size() < room_for(fmt, args)) {
      s.buffer.resize(room_for(fmt, args));
    }
    while ((r = format_into(s.buffer.data(), s.buffer.data() + s.buffer.size(),
                            fmt, args)) == nullptr) {
      s.buffer.resize(2 * s.buffer.size());
    }
  }
  s.used = static_cast<std::size_t>(r - s.buffer.data());
}

bool flush_output() {
  output_state& s = state();
  if (!s.failed && s.used > 0) write_all(s);
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
