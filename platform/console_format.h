// Printing a compiled format with code made for that format.
//
// print<kFormat>(args) prints what print(fmt, args) prints for the text fmt
// that kFormat was compiled from (kFormat: made by compile_format, at
// namespace scope). Each format gets its own copy of the printing code,
// unrolled over its pieces: literal text is copied with sizes known to the
// compiler, and each conversion has branches of its own, which the processor
// predicts far better than shared ones. Meant for the few lines printed once
// per record of a large listing.
#ifndef KORVO_PLATFORM_CONSOLE_FORMAT_H_
#define KORVO_PLATFORM_CONSOLE_FORMAT_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "platform/console.h"
#include "platform/utf.h"

namespace korvo {
namespace format_detail {

// The longest "%d" or "%u" without padding: "-2147483648".
inline constexpr std::size_t kMaxDigits = 11;

// Writes one conversion of arg at p; null when [p, end) has no room. An
// argument of the other kind prints nothing, unpadded.
[[gnu::always_inline]] inline char* put_conversion(char* p, char* const end,
                                                   char conv, char fill,
                                                   std::size_t width,
                                                   const print_arg& arg) {
  char* const start = p;
  if (conv == 's' && arg.type() == print_arg::kind::text) {
    if (arg.text_data() == nullptr) {
      // Prints as nothing.
    } else if (arg.text_size() == print_arg::kZeroTerminated) {
      p = write_utf8_bounded(p, end, arg.text_data(), arg.mark_a(),
                             arg.mark_b());
      if (p == nullptr) return nullptr;
    } else {
      const std::u16string_view text = arg.text();
      if (static_cast<std::size_t>(end - p) < kMaxUtf8PerUnit * text.size()) {
        return nullptr;
      }
      p = write_utf8(p, text);
    }
  } else if (conv != 's' && arg.type() != print_arg::kind::text) {
    if (end - p < static_cast<std::ptrdiff_t>(kMaxDigits)) return nullptr;
    // As printf does, the 32 bits are read as the conversion says.
    const std::uint32_t bits =
        arg.type() == print_arg::kind::signed_int
            ? static_cast<std::uint32_t>(arg.signed_value())
            : arg.unsigned_value();
    p = conv == 'd'
            ? std::to_chars(p, p + kMaxDigits, static_cast<std::int32_t>(bits))
                  .ptr
            : std::to_chars(p, p + kMaxDigits, bits).ptr;
  } else {
    return p;
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
  return p;
}

// Formats into [p, end): a function made for one format.
using formatter = char* (*)(char* p, char* end,
                            std::initializer_list<print_arg> args);

// print() through a formatter; literal_size is the format's literal text.
void print_with(formatter format, std::size_t literal_size,
                std::initializer_list<print_arg> args);

// The free room of the output buffer, null once output failed; and the end
// of what was written into it.
struct output_window {
  char* begin;
  char* end;
};
output_window output_room();
void output_commit(char* written_end);

template <const auto& F>
constexpr std::size_t literal_before(std::size_t piece) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < piece; ++k) n += F.pieces[k].literal_size;
  return n;
}

// Piece K of F: its literal text, then its conversion with argument K.
template <const auto& F, std::size_t K>
[[gnu::always_inline]] inline char* put_piece(char* p, char* const end,
                                              const print_arg* args,
                                              std::size_t arg_count) {
  constexpr format_piece piece = F.pieces[K];
  constexpr std::size_t offset = literal_before<F>(K);
  if (static_cast<std::size_t>(end - p) < piece.literal_size) return nullptr;
  std::memcpy(p, F.literal + offset, piece.literal_size);
  p += piece.literal_size;
  if constexpr (piece.conversion != 0) {
    if (K < arg_count) {
      p = put_conversion(p, end, piece.conversion, piece.fill, piece.width,
                         args[K]);
    }
  }
  return p;
}

template <const auto& F, std::size_t... K>
[[gnu::always_inline]] inline char* put_pieces(
    char* p, char* const end, std::initializer_list<print_arg> args,
    std::index_sequence<K...>) {
  // Stops at the first piece that finds no room.
  ((p = p == nullptr ? nullptr
                     : put_piece<F, K>(p, end, args.begin(), args.size())),
   ...);
  return p;
}

template <const auto& F>
char* format_compiled(char* p, char* end,
                      std::initializer_list<print_arg> args) {
  return put_pieces<F>(p, end, args, std::make_index_sequence<F.piece_count>{});
}

}  // namespace format_detail

template <const auto& F>
void print(std::initializer_list<print_arg> args = {}) {
  // Straight into the buffer when it fits; else write the buffer out first
  // (or find that output failed) the ordinary way.
  const format_detail::output_window room = format_detail::output_room();
  if (room.begin != nullptr) {
    if (char* const r =
            format_detail::format_compiled<F>(room.begin, room.end, args)) {
      format_detail::output_commit(r);
      return;
    }
  }
  format_detail::print_with(&format_detail::format_compiled<F>,
                            format_detail::literal_before<F>(F.piece_count),
                            args);
}

}  // namespace korvo

#endif  // KORVO_PLATFORM_CONSOLE_FORMAT_H_
