// UTF-8 / UTF-16 conversions and ASCII-only case folding. Pure code, no OS.
#ifndef KORVO_PLATFORM_UTF_H_
#define KORVO_PLATFORM_UTF_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvo {

// Decodes UTF-8 into UTF-16. Nothing is dropped: every byte that does not
// start a well-formed sequence (stray continuation, overlong form, surrogate,
// value above U+10FFFF, truncated sequence) becomes one U+FFFD, and decoding
// resumes at the next byte.
std::u16string utf8_to_utf16(std::string_view bytes);

// Writes the UTF-16 form of bytes at out, decoded as utf8_to_utf16 does;
// out must have room for bytes.size() units (no byte gives more than one
// unit, and four bytes give at most two). Returns the end of what was
// written.
char16_t* write_utf16(char16_t* out, std::string_view bytes);

// Library paths are bytes, and a file's name need not be UTF-8. A path
// argument is decoded as utf8_to_utf16 does, except that each byte that
// starts no well-formed sequence (always 0x80 to 0xFF) becomes the lone low
// surrogate U+DC00 + byte (U+DC80 to U+DCFF), which no well-formed UTF-8
// yields. Printed, such a unit still shows as U+FFFD; path_bytes turns the
// text back into exactly the bytes it was decoded from.
std::u16string path_to_utf16(std::string_view bytes);

// The bytes of a path text: UTF-8, except that a lone U+DC80 to U+DCFF
// becomes the byte it carries (see path_to_utf16). Any other unpaired
// surrogate becomes U+FFFD. A null text gives an empty path.
std::string path_bytes(const char16_t* text);

// True when every byte belongs to a well-formed UTF-8 sequence, by the same
// rule utf8_to_utf16 decodes with (so it is true exactly when that decoding
// makes no U+FFFD of its own).
bool is_valid_utf8(std::string_view bytes);

// Length of the well-formed UTF-8 sequence that bytes start with, by the
// same rule; 0 when they start none (or are empty).
std::size_t utf8_sequence_length(std::string_view bytes);

// The most UTF-8 bytes one UTF-16 unit turns into (a surrogate pair takes
// four for its two units).
inline constexpr std::size_t kMaxUtf8PerUnit = 3;

// Writes the UTF-8 form of a UTF-16 text at out, which must have room for
// kMaxUtf8PerUnit * text.size() bytes; returns the end of what was written.
// An unpaired surrogate becomes U+FFFD.
char* write_utf8(char* out, std::u16string_view text);

namespace utf_detail {

// Writes the UTF-8 form of the code point cp at p; returns the end.
inline char* put_code_point(char* p, std::uint32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

}  // namespace utf_detail

namespace utf_detail {

// Copies the units of t that print as themselves (ASCII, not the
// terminator, not marked) to p, sixteen at a time while [p, end) has room
// for sixteen, so that the room is checked once per sixteen units; stops at
// the first other unit, or when the room is short. Reads no unit past the
// terminator.
template <bool kMarked>
[[gnu::always_inline]] inline void copy_plain_units(char*& p, char* const end,
                                                    const char16_t*& t,
                                                    char16_t mark_a,
                                                    char16_t mark_b) {
  while (end - p >= 16) {
    std::size_t k = 0;
    for (; k < 16; ++k) {
      const char16_t c = t[k];
      if (static_cast<std::uint16_t>(c - 1) >= 0x7F ||
          (kMarked && (c == mark_a || c == mark_b))) {
        break;
      }
      p[k] = static_cast<char>(c);
    }
    p += k;
    t += k;
    if (k < 16) return;
  }
}

}  // namespace utf_detail

// Writes the UTF-8 form of a zero-terminated UTF-16 text into [out, end),
// reading the text once (most texts are short and vary in length, so
// measuring them first costs more): runs of ASCII in blocks, other units one
// at a time. An unpaired surrogate becomes U+FFFD. Returns the end of what
// was written, or null when the room is too small (what was written then is
// garbage); room for three bytes more than the text takes is always enough.
// A backslash goes before each unit equal to mark_a or mark_b, which must be
// ASCII (0: none). Inline: it runs for every text of a listing.
[[gnu::always_inline]] inline char* write_utf8_bounded(char* out,
                                                       char* const end,
                                                       const char16_t* t,
                                                       char16_t mark_a = 0,
                                                       char16_t mark_b = 0) {
  // The most one step writes: a surrogate pair, or three bytes.
  constexpr std::ptrdiff_t kStep = 4;
  const bool marked = mark_a != 0 || mark_b != 0;
  char* p = out;
  for (;;) {
    if (marked) {
      utf_detail::copy_plain_units<true>(p, end, t, mark_a, mark_b);
    } else {
      utf_detail::copy_plain_units<false>(p, end, t, 0, 0);
    }
    const char16_t c = *t;
    if (end - p < kStep) {
      // Too little room for a step: only the terminator may still come.
      return c == 0 ? p : nullptr;
    }
    if (c == 0) return p;
    ++t;
    std::uint32_t cp = c;
    if (c < 0x80) {
      if (c == mark_a || c == mark_b) *p++ = '\\';
      *p++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && *t >= 0xDC00 && *t <= 0xDFFF) {
      // A high surrogate is never the last unit: the terminator follows.
      cp = 0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10) +
           (static_cast<std::uint32_t>(*t++) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      cp = 0xFFFD;  // an unpaired surrogate
    }
    p = utf_detail::put_code_point(p, cp);
  }
}

// Appends the UTF-8 form of a UTF-16 text. An unpaired surrogate becomes
// U+FFFD. A null text appends nothing.
void append_utf8(std::string& out, std::u16string_view text);
void append_utf8(std::string& out, const char16_t* text);

// Length of a zero-terminated UTF-16 text; 0 for null.
std::size_t text_length(const char16_t* text);

// Whole-text equality that folds only the ASCII letters A to Z; every other
// code unit (or byte) must match exactly.
bool equals_ascii_nocase(std::u16string_view a, std::u16string_view b);
bool equals_ascii_nocase(std::string_view a, std::string_view b);

namespace utf_detail {

// Flags (0x80) on the bytes of a word read at p (four or eight) that a
// JSON string cannot hold as they are or that start a UTF-8 sequence; the
// lowest flag is exact, those above it may be false (borrows run upwards).
template <class Word>
inline Word json_special_flags(const char* p) {
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101u);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080u);
  Word x;
  std::memcpy(&x, p, sizeof x);
  const auto zero_byte = [](Word y) -> Word {
    return (y - kOnes) & ~y & kHigh;
  };
  return (x & kHigh) | ((x - 0x20 * kOnes) & ~x & kHigh) |
         zero_byte(x ^ ('"' * kOnes)) | zero_byte(x ^ ('\\' * kOnes));
}

// find_json_special for [p, end) of at least sizeof(Word) bytes, a word at a
// time (the lowest address in the lowest byte: little-endian only); the
// last bytes in a word that ends with the text.
template <class Word>
inline const char* find_json_special_in_words(const char* p, const char* end) {
  constexpr std::ptrdiff_t kSize = sizeof(Word);
  for (;;) {
    if (const Word f = json_special_flags<Word>(p); f != 0) {
      return p + __builtin_ctzll(f) / 8;
    }
    p += kSize;
    if (end - p < kSize) break;
  }
  if (p == end) return end;
  const char* const last = end - kSize;
  const Word f = json_special_flags<Word>(last);
  return f != 0 ? last + __builtin_ctzll(f) / 8 : end;
}

}  // namespace utf_detail

// The first byte in [p, end) that a JSON string cannot hold as it is, or
// that starts a UTF-8 sequence: a quote, a backslash, a control character
// (below 0x20) or any byte of 0x80 and above; end when there is none.
// Sixteen bytes at a time where SSE2 allows, else eight or four; the last
// bytes are tested in a block that ends with the text (and so overlaps
// bytes already found plain). Reads nothing outside
// [p, end). Inline: it runs for every text a JSON reader or writer meets.
inline const char* find_json_special(const char* p, const char* end) {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    // Signed: bytes of 0x80 and above are negative, so below 0x20 too.
    const __m128i space = _mm_set1_epi8(0x20);
    const auto hits = [&](const char* q) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
          _mm_cmplt_epi8(v, space))));
    };
    for (;;) {
      if (const unsigned bits = hits(p); bits != 0) {
        return p + __builtin_ctz(bits);
      }
      p += 16;
      if (end - p < 16) break;
    }
    if (p == end) return end;
    const char* const last = end - 16;
    const unsigned bits = hits(last);
    return bits != 0 ? last + __builtin_ctz(bits) : end;
  }
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (end - p >= 8) {
    return utf_detail::find_json_special_in_words<std::uint64_t>(p, end);
  }
  if (end - p >= 4) {
    return utf_detail::find_json_special_in_words<std::uint32_t>(p, end);
  }
#endif
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
  }
  return end;
}

}  // namespace korvo

#endif  // KORVO_PLATFORM_UTF_H_
