// Formatted output to standard output, and the line read at the pause.
//
// Stands in for the runtime's formatted wide-character output: the format
// strings are the system's own texts, kept byte for byte; "%s" takes a UTF-16
// text, which prints as UTF-8. A text is always an argument, never a format.
#ifndef KORVO_PLATFORM_CONSOLE_H_
#define KORVO_PLATFORM_CONSOLE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace korvo {

// One argument of a format: "%s" takes a text (null prints as nothing), "%d"
// a signed and "%u" an unsigned 32-bit integer; bool prints as 0 or 1.
// A zero-terminated text is read once, while it prints: its length is not
// measured beforehand.
class print_arg {
 public:
  enum class kind { text, signed_int, unsigned_int };

  print_arg(const char16_t* text)  // NOLINT(google-explicit-constructor)
      : kind_(kind::text), data_(text), size_(kZeroTerminated) {}
  print_arg(std::u16string_view text)  // NOLINT(google-explicit-constructor)
      : kind_(kind::text), data_(text.data()), size_(text.size()) {}
  print_arg(const std::u16string& text)  // NOLINT(google-explicit-constructor)
      : kind_(kind::text), data_(text.data()), size_(text.size()) {}
  print_arg(std::int32_t v)  // NOLINT(google-explicit-constructor)
      : kind_(kind::signed_int), signed_(v) {}
  print_arg(std::uint32_t v)  // NOLINT(google-explicit-constructor)
      : kind_(kind::unsigned_int), unsigned_(v) {}
  print_arg(bool v)  // NOLINT(google-explicit-constructor)
      : kind_(kind::signed_int), signed_(v ? 1 : 0) {}

  // A zero-terminated text that prints with a backslash before each unit
  // equal to mark_a or mark_b (both ASCII), marked as it prints rather than
  // copied first. Which units a listing marks is the listing's rule.
  static print_arg backslashed(const char16_t* text, char16_t mark_a,
                               char16_t mark_b) {
    print_arg a(text);
    a.mark_a_ = mark_a;
    a.mark_b_ = mark_b;
    return a;
  }

  kind type() const { return kind_; }
  // The text, measured if it is zero-terminated; empty for null.
  std::u16string_view text() const {
    if (data_ == nullptr) return {};
    return size_ == kZeroTerminated ? std::u16string_view(data_)
                                    : std::u16string_view(data_, size_);
  }
  std::int32_t signed_value() const { return signed_; }
  std::uint32_t unsigned_value() const { return unsigned_; }

  // For emit_piece: the raw text, its size or kZeroTerminated, and the
  // units it marks with a backslash (0: none).
  static constexpr std::size_t kZeroTerminated = static_cast<std::size_t>(-1);
  const char16_t* text_data() const { return data_; }
  std::size_t text_size() const { return size_; }
  char16_t mark_a() const { return mark_a_; }
  char16_t mark_b() const { return mark_b_; }

 private:
  kind kind_;
  const char16_t* data_ = nullptr;
  std::size_t size_ = 0;
  char16_t mark_a_ = 0;
  char16_t mark_b_ = 0;
  std::int32_t signed_ = 0;
  std::uint32_t unsigned_ = 0;
};

// The formatter, one design under one family of names:
//   format_piece     a run of literal text, then at most one conversion;
//   parse_format     the grammar: reads the next piece of a format text;
//   compiled_format  a text with its pieces parsed ahead, made by
//                    compile_format (when korvo is built, for a literal);
//   format_plan      what the printing code takes of a compiled format;
//   emit_piece       writes one piece and owns the buffer's edge (see
//                    platform/console_format.h);
//   run_plan, run_text  drive emit_piece over a plan's pieces, or over a
//                    text's pieces parsed as they go;
//   format_to, print the entries, for a text or a compiled format.
// A text and the format compiled from it print the same bytes.

// Appends fmt to out with its conversions filled from args in order.
// Conversions: "%s", "%d", "%u", each with an optional '0' flag and width
// ("%04u"), and "%%". "%d" and "%u" read an integer argument's 32 bits as
// signed or unsigned, as printf would. A conversion whose argument is missing
// or of the other kind (text for a number, or the reverse) prints nothing; an
// unknown conversion, or one wider than 1024, prints as written and takes no
// argument. Never reads past args.
void format_to(std::string& out, std::string_view fmt,
               std::initializer_list<print_arg> args);

// Our formats pad to a few characters; a wider field is no format of ours
// and would only ask for huge amounts of memory, so it prints as written.
inline constexpr std::size_t kMaxFormatWidth = 1024;

// One piece of a format: the literal text at [literal_offset,
// literal_offset + literal_size) of the format text, printed as it stands,
// then a conversion. "%%" ends a piece whose literal text keeps the first
// '%' of the two (and has no conversion); a conversion printed as written
// (unknown, too wide, or a '%' at the end) stays in the literal text.
struct format_piece {
  std::size_t literal_offset = 0;
  std::size_t literal_size = 0;
  char conversion = 0;  // 's', 'd' or 'u'; 0: literal text only
  char fill = ' ';      // '0' with the zero flag
  std::uint16_t width = 0;
  bool printed_as_written = false;  // the literal text holds a conversion
};

// The format grammar. Reads the piece of fmt that starts at pos into piece
// and returns where the next one starts; pos must be below fmt.size().
constexpr std::size_t parse_format(std::string_view fmt, std::size_t pos,
                                   format_piece& piece) {
  piece = format_piece{};
  piece.literal_offset = pos;
  for (;;) {
    const std::size_t pct = fmt.find('%', pos);
    if (pct == std::string_view::npos) {
      piece.literal_size = fmt.size() - piece.literal_offset;
      return fmt.size();
    }
    std::size_t i = pct + 1;
    if (i < fmt.size() && fmt[i] == '%') {
      piece.literal_size = i - piece.literal_offset;
      return i + 1;
    }
    char fill = ' ';
    if (i < fmt.size() && fmt[i] == '0') {
      fill = '0';
      ++i;
    }
    std::size_t width = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      if (width <= kMaxFormatWidth) {
        width = width * 10 + static_cast<std::size_t>(fmt[i] - '0');
      }
      ++i;
    }
    if (i == fmt.size()) {
      piece.printed_as_written = true;
      piece.literal_size = fmt.size() - piece.literal_offset;
      return fmt.size();
    }
    const char conversion = fmt[i++];
    if ((conversion != 's' && conversion != 'd' && conversion != 'u') ||
        width > kMaxFormatWidth) {
      piece.printed_as_written = true;
      pos = i;
      continue;
    }
    piece.literal_size = pct - piece.literal_offset;
    piece.conversion = conversion;
    piece.fill = fill;
    piece.width = static_cast<std::uint16_t>(width);
    return i;
  }
}

// A format text parsed ahead: the text itself (its literal storage) and its
// pieces. A piece takes at least two bytes of the text, except a last one.
template <std::size_t N>
struct compiled_format {
  char text[N] = {};
  format_piece pieces[N / 2 + 1] = {};
  std::size_t piece_count = 0;
};

// Parses fmt into out. Returns false for a format with a conversion printed
// as written, or one not shorter than N.
template <std::size_t N>
constexpr bool compile_format(std::string_view fmt, compiled_format<N>& out) {
  if (fmt.size() >= N) return false;
  out = compiled_format<N>{};
  for (std::size_t i = 0; i < fmt.size(); ++i) out.text[i] = fmt[i];
  for (std::size_t pos = 0; pos < fmt.size();) {
    format_piece& piece = out.pieces[out.piece_count++];
    pos = parse_format(fmt, pos, piece);
    if (piece.printed_as_written) return false;
  }
  return true;
}

namespace format_detail {
// Not constexpr: reaching it while compiling a format stops the build.
void format_does_not_compile();
}  // namespace format_detail

// A format compiled by the compiler; a bad one is a build error.
template <std::size_t N>
consteval compiled_format<N> compile_format(const char (&fmt)[N]) {
  compiled_format<N> out;
  if (!compile_format(std::string_view(fmt, N - 1), out)) {
    format_detail::format_does_not_compile();
  }
  return out;
}

// What the printing code takes of a compiled format.
struct format_plan {
  const char* text;
  const format_piece* pieces;
  std::size_t piece_count;

  template <std::size_t N>
  constexpr format_plan(
      const compiled_format<N>& f)  // NOLINT(google-explicit-constructor)
      : text(f.text), pieces(f.pieces), piece_count(f.piece_count) {}
};

// format_to for a compiled format: the same output as for the text it was
// compiled from. Hot lines print theirs with print<kFormat> (see
// platform/console_format.h).
void format_to(std::string& out, const format_plan& fmt,
               std::initializer_list<print_arg> args);

// Formats to standard output through a buffer. Output is written with
// write(2) when the buffer fills and at flush_output(). A write that fails is
// remembered (see output_failed) and the rest of the output is dropped.
void print(std::string_view fmt, std::initializer_list<print_arg> args = {});
void print(const format_plan& fmt, std::initializer_list<print_arg> args = {});

// Writes out whatever is buffered. Returns false if any write so far failed.
bool flush_output();

// True once writing to standard output has failed.
bool output_failed();

// The reason of the first failed write, for a message on standard error.
int output_error_number();

// True when the first failed write failed because the reader of the pipe
// had gone (EPIPE): the reader left on purpose, which needs no message.
bool output_reader_left();

// Makes a write to standard output whose reader has gone fail with EPIPE,
// like any other failed write, instead of ending the process (SIGPIPE is
// ignored): the session's last calls must still happen. Call once, first
// thing in main().
void keep_running_when_output_closes();

// Reads one line from standard input, byte by byte, taking at most max_bytes
// bytes (a newline ends the line and is taken as well); returns what was
// read. At end of input it returns at once. Bytes after those taken stay
// unread in the input.
std::string read_line(std::size_t max_bytes);

}  // namespace korvo

#endif  // KORVO_PLATFORM_CONSOLE_H_
