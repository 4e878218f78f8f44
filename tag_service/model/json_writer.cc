#include "tag_service/model/json_writer.h"

#include <array>
#include <charconv>

#include "platform/utf.h"

namespace tag_service {
namespace {

// What each byte becomes in a JSON text: 0 goes as it is, 'u' as \u00XX,
// any other letter after a backslash.
constexpr std::array<char, 256> escapes() {
  std::array<char, 256> e{};
  for (int c = 0; c < 0x20; ++c) e[c] = 'u';
  e['\b'] = 'b';
  e['\f'] = 'f';
  e['\n'] = 'n';
  e['\r'] = 'r';
  e['\t'] = 't';
  e['"'] = '"';
  e['\\'] = '\\';
  return e;
}
constexpr std::array<char, 256> kEscape = escapes();

// Appends s, escaped, where s is known to be well-formed UTF-8.
void append_escaped(std::string& out, std::string_view s) {
  std::size_t run = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char e = kEscape[static_cast<unsigned char>(s[i])];
    if (e == 0) continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    out.push_back(e);
    if (e == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      const auto b = static_cast<unsigned char>(s[i]);
      out.append("00");
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
}

}  // namespace

void json_writer::key(std::string_view k) {
  separate();
  text(k);
  out_.push_back(':');
  need_comma_ = false;
}

void json_writer::value(std::string_view s) {
  separate();
  text(s);
  need_comma_ = true;
}

void json_writer::value(bool b) {
  separate();
  out_.append(b ? "true" : "false");
  need_comma_ = true;
}

void json_writer::value(std::int64_t n) {
  separate();
  char digits[24];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  need_comma_ = true;
}

void json_writer::value(std::uint64_t n) {
  separate();
  char digits[24];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  need_comma_ = true;
}

void json_writer::text(std::string_view s) {
  out_.push_back('"');
  if (korvo::is_valid_utf8(s)) {
    append_escaped(out_, s);
  } else {
    // Rare (texts are checked where they enter): well-formed sequences go
    // as they are, every other byte becomes U+FFFD, by the tree's one
    // UTF-8 rule.
    std::size_t i = 0;
    while (i < s.size()) {
      const auto b = static_cast<unsigned char>(s[i]);
      std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      if (i + len > s.size() || !korvo::is_valid_utf8(s.substr(i, len))) {
        out_.append("\xEF\xBF\xBD");
        ++i;
        continue;
      }
      append_escaped(out_, s.substr(i, len));
      i += len;
    }
  }
  out_.push_back('"');
}

}  // namespace tag_service
