// The UTF-8 / UTF-16 conversions and the ASCII case folding.
//
// Properties: whatever the bytes, UTF-8 to UTF-16 and back yields well-formed
// UTF-8, equal to the input when the input was well-formed; any UTF-16 text
// (the input read as 16-bit units) turns into well-formed UTF-8 that decodes
// back to the same text with each unpaired surrogate replaced by U+FFFD; the
// case-folding comparison is reflexive, symmetric and blind to ASCII case.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/well_formed.h"
#include "platform/utf.h"

namespace {

// The text with every unpaired surrogate replaced by U+FFFD.
std::u16string mend_surrogates(std::u16string_view t) {
  std::u16string out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char16_t c = t[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
      out.push_back(c);
      out.push_back(t[++i]);
    } else {
      out.push_back(high || low ? char16_t{0xFFFD} : c);
    }
  }
  return out;
}

std::u16string ascii_flip_case(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) c ^= 0x20;
  }
  return out;
}

// Folds A to Z only.
std::u16string ascii_lower(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Bytes as UTF-8.
  const std::u16string wide = korvo::utf8_to_utf16(bytes);
  FUZZ_CHECK(wide.size() <= bytes.size());
  std::string back;
  korvo::append_utf8(back, wide);
  FUZZ_CHECK(korvo_fuzz::well_formed_utf8(back));
  if (korvo_fuzz::well_formed_utf8(bytes)) {
    FUZZ_CHECK(back == bytes);
  } else {
    FUZZ_CHECK(wide.find(u'\uFFFD') != std::u16string::npos);
  }

  // Bytes as UTF-16 units (low byte first); an odd last byte is dropped.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  std::string utf8 = "prefix";
  korvo::append_utf8(utf8, units);
  FUZZ_CHECK(utf8.compare(0, 6, "prefix") == 0);
  FUZZ_CHECK(korvo_fuzz::well_formed_utf8(utf8));
  FUZZ_CHECK(korvo::utf8_to_utf16(std::string_view(utf8).substr(6)) ==
             mend_surrogates(units));
  // The zero-terminated form stops at the first zero unit.
  std::string terminated;
  korvo::append_utf8(terminated, units.c_str());
  std::string up_to_zero;
  korvo::append_utf8(up_to_zero,
                     std::u16string_view(units).substr(0, units.find(u'\0')));
  FUZZ_CHECK(terminated == up_to_zero);
  FUZZ_CHECK(korvo::text_length(units.c_str()) ==
             std::char_traits<char16_t>::length(units.c_str()));

  // Case folding.
  const std::u16string_view a(units), first = a.substr(0, a.size() / 2),
                                      second = a.substr(a.size() / 2);
  FUZZ_CHECK(korvo::equals_ascii_nocase(a, a));
  FUZZ_CHECK(korvo::equals_ascii_nocase(a, ascii_flip_case(a)));
  FUZZ_CHECK(korvo::equals_ascii_nocase(first, second) ==
             korvo::equals_ascii_nocase(second, first));
  FUZZ_CHECK(korvo::equals_ascii_nocase(first, second) ==
             (ascii_lower(first) == ascii_lower(second)));
  return 0;
}
