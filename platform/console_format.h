// The piece emitter behind all formatted output, and print<kFormat>.
//
// emit_piece writes one format_piece into a room [p, end) or says that the
// room is too small; it is the only code that writes formatted output. The
// drivers only hand it pieces: run_plan(p, end, plan, args) walks a compiled
// format's pieces, run_plan<kFormat>(p, end, args) is the same unrolled for
// one format, and run_text parses a format text's pieces as it goes.
//
// print<kFormat>(args) prints what print(fmt, args) prints for the text fmt
// that kFormat was compiled from (kFormat: made by compile_format, at
// namespace scope), through run_plan<kFormat> inlined where it is called:
// the compiler sees the pieces, so literal text is copied with sizes it
// knows and each conversion gets branches of its own, which the processor
// predicts far better than shared ones. Meant for the few lines printed once
// per record of a large listing.
#ifndef KORVO_PLATFORM_CONSOLE_FORMAT_H_
#define KORVO_PLATFORM_CONSOLE_FORMAT_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "platform/console.h"
#include "platform/utf.h"

namespace korvo {

// The longest "%d" or "%u" without padding: "-2147483648".
inline constexpr std::size_t kMaxFormatDigits = 11;

// Writes piece (of the format text text) at p: its literal text, then its
// conversion filled from arg (null: no argument left, the conversion prints
// nothing). Returns the end of what was written, or null when [p, end) has
// no room for the piece (what was written then is garbage). An argument of
// the other kind prints nothing, unpadded.
[[gnu::always_inline]] inline char* emit_piece(char* p, char* const end,
                                               const char* text,
                                               const format_piece& piece,
                                               const print_arg* arg_or_null) {
  if (static_cast<std::size_t>(end - p) < piece.literal_size) return nullptr;
  std::memcpy(p, text + piece.literal_offset, piece.literal_size);
  p += piece.literal_size;
  if (piece.conversion == 0 || arg_or_null == nullptr) return p;
  const print_arg& arg = *arg_or_null;
  const char conv = piece.conversion;
  char* const start = p;
  if (conv == 's' && arg.type() == print_arg::kind::text) {
    if (arg.text_data() == nullptr) {
      // Prints as nothing.
    } else if (arg.text_size() == print_arg::kZeroTerminated) {
      p = write_utf8_bounded(p, end, arg.text_data(), arg.mark_a(),
                             arg.mark_b());
      if (p == nullptr) return nullptr;
    } else {
      const std::u16string_view t = arg.text();
      if (static_cast<std::size_t>(end - p) < kMaxUtf8PerUnit * t.size()) {
        return nullptr;
      }
      p = write_utf8(p, t);
    }
  } else if (conv != 's' && arg.type() != print_arg::kind::text) {
    if (end - p < static_cast<std::ptrdiff_t>(kMaxFormatDigits)) {
      return nullptr;
    }
    // As printf does, the 32 bits are read as the conversion says.
    const std::uint32_t bits =
        arg.type() == print_arg::kind::signed_int
            ? static_cast<std::uint32_t>(arg.signed_value())
            : arg.unsigned_value();
    p = conv == 'd' ? std::to_chars(p, p + kMaxFormatDigits,
                                    static_cast<std::int32_t>(bits))
                          .ptr
                    : std::to_chars(p, p + kMaxFormatDigits, bits).ptr;
  } else {
    return p;
  }
  const auto len = static_cast<std::size_t>(p - start);
  const std::size_t width = piece.width;
  if (len < width) {
    if (static_cast<std::size_t>(end - start) < width) return nullptr;
    // Zero padding goes after a minus sign.
    char* at = start;
    if (piece.fill == '0' && len > 0 && *start == '-') ++at;
    const std::size_t pad = width - len;
    std::memmove(at + pad, at, static_cast<std::size_t>(p - at));
    std::memset(at, piece.fill, pad);
    p = start + width;
  }
  return p;
}

// The argument of piece's conversion, the one at next, which it steps past;
// null for a piece without a conversion, or when none is left.
inline const print_arg* take_argument(const format_piece& piece,
                                      const print_arg*& next,
                                      const print_arg* last) {
  return piece.conversion != 0 && next != last ? next++ : nullptr;
}

// Formats a compiled format into [p, end): each conversion takes the next
// argument. Returns the end of what was written, or null when the room is
// too small.
inline char* run_plan(char* p, char* const end, const format_plan& fmt,
                      std::initializer_list<print_arg> args) {
  const print_arg* next = args.begin();
  for (std::size_t k = 0; k < fmt.piece_count; ++k) {
    const format_piece& piece = fmt.pieces[k];
    p = emit_piece(p, end, fmt.text, piece,
                   take_argument(piece, next, args.end()));
    if (p == nullptr) return nullptr;
  }
  return p;
}

// Formats the text fmt into [p, end) as run_plan formats it compiled, its
// pieces parsed as they go (a text needs no copy). Returns the end of what
// was written, or null when the room is too small. print and format_to with
// a text run this.
char* run_text(char* p, char* end, std::string_view fmt,
               std::initializer_list<print_arg> args);

namespace format_detail {

// The free room of the output buffer, null once output failed; and the end
// of what was written into it.
struct output_window {
  char* begin;
  char* end;
};
output_window output_room();
void output_commit(char* written_end);

// The number of conversions in F's pieces before piece k.
template <const auto& F>
constexpr std::size_t conversions_before(std::size_t k) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < k; ++i) n += F.pieces[i].conversion != 0;
  return n;
}

// Piece K of F, with the argument of its conversion.
template <const auto& F, std::size_t K>
[[gnu::always_inline]] inline char* emit_piece_of(
    char* p, char* const end, std::initializer_list<print_arg> args) {
  constexpr std::size_t a = conversions_before<F>(K);
  return emit_piece(p, end, F.text, F.pieces[K],
                    F.pieces[K].conversion != 0 && a < args.size()
                        ? args.begin() + a
                        : nullptr);
}

template <const auto& F, std::size_t... K>
[[gnu::always_inline]] inline char* run_unrolled(
    char* p, char* const end, std::initializer_list<print_arg> args,
    std::index_sequence<K...>) {
  // Stops at the first piece that finds no room.
  ((p = p == nullptr ? nullptr : emit_piece_of<F, K>(p, end, args)), ...);
  return p;
}

}  // namespace format_detail

// run_plan for the compiled format F (made by compile_format, at namespace
// scope), unrolled over its pieces: each emit_piece is made for its piece.
// The few lines printed once per record of a large listing print this way
// (see print<F>): run by the loop over pieces, which the compiler does not
// unroll, a reading's listing takes about 30% longer.
template <const auto& F>
[[gnu::always_inline]] inline char* run_plan(
    char* p, char* const end, std::initializer_list<print_arg> args) {
  return format_detail::run_unrolled<F>(
      p, end, args, std::make_index_sequence<F.piece_count>{});
}

template <const auto& F>
void print(std::initializer_list<print_arg> args = {}) {
  // Straight into the buffer when it fits; else the ordinary way, which
  // writes the buffer out first (or finds that output failed).
  const format_detail::output_window room = format_detail::output_room();
  if (room.begin != nullptr) {
    if (char* const r = run_plan<F>(room.begin, room.end, args)) {
      format_detail::output_commit(r);
      return;
    }
  }
  print(format_plan(F), args);
}

}  // namespace korvo

#endif  // KORVO_PLATFORM_CONSOLE_FORMAT_H_
