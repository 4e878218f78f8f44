#include "platform/utf.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvo {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
// A byte carried through a path text is the lone surrogate kCarriedByteBase
// + byte.
constexpr char16_t kCarriedByteBase = 0xDC00;

using utf_detail::put_code_point;

bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

template <typename Char>
Char fold(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c + 32) : c;
}

// Decodes the well-formed UTF-8 sequence that starts at b[i] (of n bytes):
// returns its length and sets cp, or returns 0 when b[i] starts none. This is
// the one UTF-8 rule of the tree: the decoder and the validator both use it.
std::size_t decode_sequence(const unsigned char* b, std::size_t i,
                            std::size_t n, std::uint32_t& cp) {
  const unsigned char b0 = b[i];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len = 0;
  std::uint32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  }
  if (len == 0 || i + len > n) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char c = b[i + k];
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

template <typename Char>
bool equals_folded(std::basic_string_view<Char> a,
                   std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Writes the UTF-16 form of bytes at out; a byte that starts no well-formed
// sequence becomes U+FFFD, or with carry_bytes the lone U+DC00 + byte.
char16_t* decode_utf8(char16_t* out, std::string_view bytes, bool carry_bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  char16_t* p = out;
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, the common case, go eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, b + i, 8);
      if ((w & 0x8080808080808080u) != 0) break;
#if defined(__SSE2__)
      const __m128i bytes8 =
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                       _mm_unpacklo_epi8(bytes8, _mm_setzero_si128()));
#else
      for (std::size_t k = 0; k < 8; ++k) p[k] = b[i + k];
#endif
      p += 8;
      i += 8;
    }
    if (i == n) break;
    if (b[i] < 0x80) {
      *p++ = b[i++];
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t len = decode_sequence(b, i, n, cp);
    if (len == 0) {
      *p++ = carry_bytes ? static_cast<char16_t>(kCarriedByteBase + b[i])
                         : kReplacement;
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *p++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *p++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *p++ = static_cast<char16_t>(cp);
    }
    i += len;
  }
  return p;
}

}  // namespace

char16_t* write_utf16(char16_t* out, std::string_view bytes) {
  return decode_utf8(out, bytes, false);
}

std::u16string path_to_utf16(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  out.resize(static_cast<std::size_t>(decode_utf8(out.data(), bytes, true) -
                                      out.data()));
  return out;
}

std::string path_bytes(const char16_t* text) {
  std::string out;
  if (text == nullptr) return out;
  const std::u16string_view t(text);
  std::size_t run = 0;  // start of the units not yet appended
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char16_t c = t[i];
    if (is_high_surrogate(c) && i + 1 < t.size() &&
        is_low_surrogate(t[i + 1])) {
      ++i;  // a pair is a character, whatever its low half
    } else if (c >= kCarriedByteBase + 0x80 && c <= kCarriedByteBase + 0xFF) {
      append_utf8(out, t.substr(run, i - run));
      out.push_back(static_cast<char>(c - kCarriedByteBase));
      run = i + 1;
    }
  }
  append_utf8(out, t.substr(run));
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::uint32_t cp = 0;
  for (std::size_t i = 0; i < n;) {
    const std::size_t len = decode_sequence(b, i, n, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::size_t utf8_sequence_length(std::string_view bytes) {
  if (bytes.empty()) return 0;
  std::uint32_t cp = 0;
  return decode_sequence(reinterpret_cast<const unsigned char*>(bytes.data()),
                         0, bytes.size(), cp);
}

std::u16string utf8_to_utf16(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  out.resize(
      static_cast<std::size_t>(write_utf16(out.data(), bytes) - out.data()));
  return out;
}

char* write_utf8(char* out, std::u16string_view text) {
  const std::size_t n = text.size();
  const char16_t* t = text.data();
  char* p = out;
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, the common case, go eight units at a time where the
    // processor packs them in one step, else four at a time.
#if defined(__SSE2__)
    const __m128i non_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
    while (i + 8 <= n) {
      const __m128i units =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i));
      const __m128i high = _mm_and_si128(units, non_ascii);
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) !=
          0xFFFF) {
        break;
      }
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p),
                       _mm_packus_epi16(units, units));
      p += 8;
      i += 8;
    }
#endif
    while (i + 4 <= n &&
           ((t[i] | t[i + 1] | t[i + 2] | t[i + 3]) & 0xFF80) == 0) {
      p[0] = static_cast<char>(t[i]);
      p[1] = static_cast<char>(t[i + 1]);
      p[2] = static_cast<char>(t[i + 2]);
      p[3] = static_cast<char>(t[i + 3]);
      p += 4;
      i += 4;
    }
    if (i >= n) break;
    const char16_t c = t[i++];
    std::uint32_t cp = c;
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
      continue;
    }
    if (is_high_surrogate(c) && i < n && is_low_surrogate(t[i])) {
      cp = 0x10000 + ((static_cast<std::uint32_t>(c) - 0xD800) << 10) +
           (static_cast<std::uint32_t>(t[i]) - 0xDC00);
      ++i;
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      cp = kReplacement;
    }
    p = put_code_point(p, cp);
  }
  return p;
}

void append_utf8(std::string& out, std::u16string_view text) {
  // The room is made once and written through a pointer.
  const std::size_t old_size = out.size();
  out.resize(old_size + kMaxUtf8PerUnit * text.size());
  char* const end = write_utf8(out.data() + old_size, text);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

void append_utf8(std::string& out, const char16_t* text) {
  if (text != nullptr) append_utf8(out, std::u16string_view(text));
}

std::size_t text_length(const char16_t* text) {
  return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

bool equals_ascii_nocase(std::u16string_view a, std::u16string_view b) {
  return equals_folded(a, b);
}

bool equals_ascii_nocase(std::string_view a, std::string_view b) {
  return equals_folded(a, b);
}

}  // namespace korvo
