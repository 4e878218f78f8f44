#include "tag_service/model/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "platform/utf.h"

namespace tag_service {
namespace {

// What each ASCII byte becomes in a JSON text after a backslash: 'u' for
// \u00XX; only the bytes find_json_special stops at are looked up.
constexpr std::array<char, 128> escapes() {
  std::array<char, 128> e{};
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
constexpr std::array<char, 128> kEscape = escapes();

// The most one input byte becomes: \u00XX (U+FFFD takes three, a UTF-8
// sequence as many as its bytes).
constexpr std::size_t kMostPerByte = 6;
// Input bytes written per check of the room, so that a long text does not
// ask for six times its size at once.
constexpr std::size_t kSegment = 4096;

}  // namespace

std::string json_writer::take() {
  buf_.resize(size_);
  size_ = 0;
  std::string out = std::move(buf_);
  buf_.clear();
  return out;
}

void json_writer::grow(std::size_t n) {
  buf_.resize(std::max({buf_.size() * 2, size_ + n, std::size_t{256}}));
}

void json_writer::key(std::string_view k) {
  separate();
  text(k);
  *room(1) = ':';
  ++size_;
  need_comma_ = false;
}

void json_writer::value(std::string_view s) {
  separate();
  text(s);
  need_comma_ = true;
}

void json_writer::value(bool b) {
  separate();
  const std::string_view t = b ? "true" : "false";
  std::memcpy(room(t.size()), t.data(), t.size());
  size_ += t.size();
  need_comma_ = true;
}

void json_writer::value(std::int64_t n) {
  separate();
  char* p = room(24);
  size_ =
      static_cast<std::size_t>(std::to_chars(p, p + 24, n).ptr - buf_.data());
  need_comma_ = true;
}

void json_writer::value(std::uint64_t n) {
  separate();
  char* p = room(24);
  size_ =
      static_cast<std::size_t>(std::to_chars(p, p + 24, n).ptr - buf_.data());
  need_comma_ = true;
}

void json_writer::text(std::string_view s) {
  const char* in = s.data();
  const char* const end = in + s.size();
  *room(1) = '"';
  ++size_;
  while (in != end) {
    const std::size_t n =
        std::min(static_cast<std::size_t>(end - in), kSegment);
    const char* const segment_end = in + n;
    char* p = room(n * kMostPerByte);
    while (in < segment_end) {
      // A run of bytes that go as they are, copied whole.
      const char* const run = in;
      in = korvo::find_json_special(in, segment_end);
      std::memcpy(p, run, static_cast<std::size_t>(in - run));
      p += in - run;
      if (in == segment_end) break;
      const auto b = static_cast<unsigned char>(*in);
      if (b < 0x80) {
        constexpr char kHex[] = "0123456789abcdef";
        const char e = kEscape[b];
        *p++ = '\\';
        *p++ = e;
        if (e == 'u') {
          *p++ = '0';
          *p++ = '0';
          *p++ = kHex[b >> 4];
          *p++ = kHex[b & 0xF];
        }
        ++in;
        continue;
      }
      // Well-formed sequences go as they are (one may end past the
      // segment), every other byte becomes U+FFFD, by the tree's one UTF-8
      // rule.
      const std::size_t len = korvo::utf8_sequence_length(
          std::string_view(in, static_cast<std::size_t>(end - in)));
      if (len == 0) {
        std::memcpy(p, "\xEF\xBF\xBD", 3);
        p += 3;
        ++in;
      } else {
        std::memcpy(p, in, len);
        p += len;
        in += len;
      }
    }
    size_ = static_cast<std::size_t>(p - buf_.data());
  }
  *room(1) = '"';
  ++size_;
}

}  // namespace tag_service
