#include "platform/console.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/console_format.h"
#include "platform/utf.h"

namespace korvo {
namespace {

// Output collects in a buffer of this size and is written when the next
// piece would not fit, and at flush_output().
constexpr std::size_t kBufferSize = 1 << 16;

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

}  // namespace

char* run_text(char* p, char* const end, std::string_view fmt,
               std::initializer_list<print_arg> args) {
  const print_arg* next = args.begin();
  format_piece piece;
  for (std::size_t pos = 0; pos < fmt.size();) {
    pos = parse_format(fmt, pos, piece);
    p = emit_piece(p, end, fmt.data(), piece,
                   take_argument(piece, next, args.end()));
    if (p == nullptr) return nullptr;
  }
  return p;
}

namespace {

// Room that is enough, at the first try, unless a conversion pads wider than
// its argument: the literal text and the longest form of each argument
// (three bytes per UTF-16 unit, or the longest number), plus a margin for
// how emit_piece writes a zero-terminated text: in steps of up to four
// bytes, starting a step only with room for a whole one (+4 per text). The
// margins only save work: a room found too small is made larger and the
// format run again.
std::size_t room_for(std::size_t literal_size,
                     std::initializer_list<print_arg> args) {
  std::size_t room = literal_size;
  for (const print_arg& a : args) {
    room += a.type() == print_arg::kind::text
                ? kMaxUtf8PerUnit * a.text().size() + 4
                : kMaxFormatDigits;
  }
  return room;
}

// What the two ways of formatting below need of a format: an upper bound of
// its literal text's size (for room_for), and its driver.
struct text_driver {
  std::string_view fmt;
  std::size_t literal_size() const { return fmt.size(); }
  char* run(char* p, char* end, std::initializer_list<print_arg> args) const {
    return run_text(p, end, fmt, args);
  }
};

struct plan_driver {
  const format_plan& fmt;
  std::size_t literal_size() const {
    std::size_t n = 0;
    for (std::size_t k = 0; k < fmt.piece_count; ++k) {
      n += fmt.pieces[k].literal_size;
    }
    return n;
  }
  char* run(char* p, char* end, std::initializer_list<print_arg> args) const {
    return run_plan(p, end, fmt, args);
  }
};

// The one way formatted text is appended to a string: into room at its end,
// made larger until the format fits.
template <class Driver>
void append_through(std::string& out, const Driver& fmt,
                    std::initializer_list<print_arg> args) {
  const std::size_t old_size = out.size();
  std::size_t room = room_for(fmt.literal_size(), args);
  for (;;) {
    out.resize(old_size + room);
    char* const begin = out.data() + old_size;
    if (char* const r = fmt.run(begin, begin + room, args)) {
      out.resize(static_cast<std::size_t>(r - out.data()));
      return;
    }
    room = 2 * room + 1;
  }
}

// The one way formatted text goes into the output buffer: into its free
// room; when that is too small, the buffer is written out and the format run
// again into the whole buffer, grown for a piece larger than it.
template <class Driver>
void print_through(const Driver& fmt, std::initializer_list<print_arg> args) {
  const format_detail::output_window room = format_detail::output_room();
  if (room.begin == nullptr) return;
  char* r = fmt.run(room.begin, room.end, args);
  if (r == nullptr) {
    output_state& s = state();
    write_all(s);
    if (s.failed) return;
    const std::size_t size = room_for(fmt.literal_size(), args);
    if (s.buffer.size() < size) s.buffer.resize(size);
    while ((r = fmt.run(s.buffer.data(), s.buffer.data() + s.buffer.size(),
                        args)) == nullptr) {
      s.buffer.resize(2 * s.buffer.size());
    }
  }
  format_detail::output_commit(r);
}

}  // namespace

void format_to(std::string& out, std::string_view fmt,
               std::initializer_list<print_arg> args) {
  append_through(out, text_driver{fmt}, args);
}

void format_to(std::string& out, const format_plan& fmt,
               std::initializer_list<print_arg> args) {
  append_through(out, plan_driver{fmt}, args);
}

void print(std::string_view fmt, std::initializer_list<print_arg> args) {
  print_through(text_driver{fmt}, args);
}

void print(const format_plan& fmt, std::initializer_list<print_arg> args) {
  print_through(plan_driver{fmt}, args);
}

namespace format_detail {

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
