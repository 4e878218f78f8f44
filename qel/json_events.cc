#include "qel/json_events.h"

#include <charconv>
#include <limits>
#include <system_error>

#include "platform/utf.h"

namespace rfid_qel::json_detail {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p (which has at least four bytes), or -1.
long read_hex4(const char* p) {
  long v = 0;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(p[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// True when the number text [s, e), which from_chars found out of a
// double's range, is too large rather than too small: its decimal
// magnitude (digits before the point, less the zeros after it when there
// are none before, plus the exponent) is positive.
bool is_overflow(const char* s, const char* e) {
  if (*s == '-') ++s;
  long magnitude = 0;
  bool nonzero = false;
  const char* p = s;
  while (p != e && is_digit(*p)) {
    if (*p != '0' || nonzero) {
      nonzero = true;
      ++magnitude;
    }
    ++p;
  }
  if (p != e && *p == '.') {
    for (++p; p != e && is_digit(*p); ++p) {
      if (*p != '0') {
        nonzero = true;
        break;
      }
      if (!nonzero) --magnitude;
    }
    while (p != e && is_digit(*p)) ++p;
  }
  if (!nonzero) return false;
  if (p != e && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long exponent = 0;
    for (; p != e; ++p) {
      if (exponent < 1000000000L) exponent = exponent * 10 + (*p - '0');
    }
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude > 0;
}

}  // namespace

const char* read_string(const char* p, const char* end, std::string& scratch,
                        std::string_view& text, const char*& where,
                        const char*& message) {
  const char* const start = p;
  const char* run = p;  // with escapes: the first byte not yet in scratch
  bool escaped = false;
  for (;;) {
    const char* q = korvo::find_json_special(p, end);
    if (q == end) {
      where = end;
      message = "unexpected end of input in a string";
      return nullptr;
    }
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      if (escaped) {
        scratch.append(run, q);
        text = scratch;
      } else {
        text = std::string_view(start, static_cast<std::size_t>(q - start));
      }
      return q + 1;
    }
    if (c >= 0x80) {
      const std::size_t n = korvo::utf8_sequence_length(
          std::string_view(q, static_cast<std::size_t>(end - q)));
      if (n == 0) {
        where = q;
        message = "ill-formed UTF-8 byte in a string";
        return nullptr;
      }
      p = q + n;
      continue;
    }
    if (c < 0x20) {
      where = q;
      message = "control character in a string, not escaped";
      return nullptr;
    }
    // A backslash: the escape's character goes to scratch.
    if (!escaped) {
      scratch.clear();
      escaped = true;
    }
    scratch.append(run, q);
    where = q;
    if (end - q < 2) {
      message = "unexpected end of input in a string";
      return nullptr;
    }
    char simple = 0;
    switch (q[1]) {
      case '"':
      case '\\':
      case '/':
        simple = q[1];
        break;
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      case 'u':
        break;
      default:
        message = "invalid escape in a string";
        return nullptr;
    }
    if (q[1] != 'u') {
      scratch.push_back(simple);
      p = run = q + 2;
      continue;
    }
    const long unit = end - q >= 6 ? read_hex4(q + 2) : -1;
    if (unit < 0) {
      message = "'\\u' not followed by four hex digits";
      return nullptr;
    }
    std::uint32_t cp = static_cast<std::uint32_t>(unit);
    p = q + 6;
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
      message = "surrogate U+DC00..U+DFFF not after U+D800..U+DBFF";
      return nullptr;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      const long low =
          end - p >= 6 && p[0] == '\\' && p[1] == 'u' ? read_hex4(p + 2) : -1;
      if (low < 0xDC00 || low > 0xDFFF) {
        message = "surrogate U+D800..U+DBFF not followed by U+DC00..U+DFFF";
        return nullptr;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) +
           (static_cast<std::uint32_t>(low) - 0xDC00);
      p += 6;
    }
    char bytes[4];
    scratch.append(bytes, korvo::utf_detail::put_code_point(bytes, cp));
    run = p;
  }
}

const char* read_number(const char* p, const char* end, int& kind,
                        std::int64_t& i, std::uint64_t& u, double& d,
                        const char*& where, const char*& message) {
  const char* const s = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end || !is_digit(*p)) {
    where = p;
    message = negative ? "expected a digit after '-'" : "unexpected character";
    return nullptr;
  }
  const char* const digits = p;
  if (*p == '0') {
    ++p;
  } else {
    while (p != end && is_digit(*p)) ++p;
  }
  const char* const digits_end = p;
  // The digits a fraction or an exponent must have; false at none.
  const auto skip_digits = [&](const char* missing) {
    if (p == end || !is_digit(*p)) {
      where = p;
      message = missing;
      return false;
    }
    while (p != end && is_digit(*p)) ++p;
    return true;
  };
  bool integral = true;
  if (p != end && *p == '.') {
    ++p;
    if (!skip_digits("expected a digit after '.'")) return nullptr;
    integral = false;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (!skip_digits("expected a digit in the exponent")) return nullptr;
    integral = false;
  }
  if (integral) {
    std::uint64_t v = 0;
    bool fits = true;
    for (const char* q = digits; q != digits_end; ++q) {
      const auto digit = static_cast<std::uint64_t>(*q - '0');
      if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        fits = false;
        break;
      }
      v = v * 10 + digit;
    }
    constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
    if (fits && !negative) {
      kind = 1;
      u = v;
      return p;
    }
    if (fits && v <= kMostNegative) {
      kind = 0;
      i = v == kMostNegative ? std::numeric_limits<std::int64_t>::min()
                             : -static_cast<std::int64_t>(v);
      return p;
    }
  }
  kind = 2;
  const auto [after, ec] = std::from_chars(s, p, d);
  if (ec == std::errc::result_out_of_range) {
    if (is_overflow(s, p)) {
      where = s;
      message = "number overflow: beyond what a double holds";
      return nullptr;
    }
    d = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || after != p) {
    where = s;
    message = "invalid number";
    return nullptr;
  }
  return p;
}

}  // namespace rfid_qel::json_detail
