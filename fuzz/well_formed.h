// Well-formedness of UTF-8, for the fuzz targets' properties.
#ifndef KORVO_FUZZ_WELL_FORMED_H_
#define KORVO_FUZZ_WELL_FORMED_H_

#include <string_view>

namespace korvo_fuzz {

// Well-formed UTF-8 by the table of well-formed byte sequences, written
// independently of the decoder under test.
inline bool well_formed_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = [&](std::size_t k) {
      return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0x100u;
    };
    const unsigned b0 = b(0);
    auto in = [](unsigned v, unsigned lo, unsigned hi) {
      return v >= lo && v <= hi;
    };
    std::size_t len;
    if (b0 <= 0x7F) {
      len = 1;
    } else if (in(b0, 0xC2, 0xDF) && in(b(1), 0x80, 0xBF)) {
      len = 2;
    } else if (b0 == 0xE0 && in(b(1), 0xA0, 0xBF) && in(b(2), 0x80, 0xBF)) {
      len = 3;
    } else if ((in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) &&
               in(b(1), 0x80, 0xBF) && in(b(2), 0x80, 0xBF)) {
      len = 3;
    } else if (b0 == 0xED && in(b(1), 0x80, 0x9F) && in(b(2), 0x80, 0xBF)) {
      len = 3;
    } else if (b0 == 0xF0 && in(b(1), 0x90, 0xBF) && in(b(2), 0x80, 0xBF) &&
               in(b(3), 0x80, 0xBF)) {
      len = 4;
    } else if (in(b0, 0xF1, 0xF3) && in(b(1), 0x80, 0xBF) &&
               in(b(2), 0x80, 0xBF) && in(b(3), 0x80, 0xBF)) {
      len = 4;
    } else if (b0 == 0xF4 && in(b(1), 0x80, 0x8F) && in(b(2), 0x80, 0xBF) &&
               in(b(3), 0x80, 0xBF)) {
      len = 4;
    } else {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace korvo_fuzz

#endif  // KORVO_FUZZ_WELL_FORMED_H_
