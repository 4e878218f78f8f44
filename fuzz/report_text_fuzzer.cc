// The report's text pieces: the compact escaping, format_timestamp (and the
// heap-free timestamp_text beside it) and the type names.
//
// Properties: a text printed escaped for a compact record (as the listings
// print theirs, through the UTF-8 writer that marks units as it goes) is the
// text printed plain with one backslash before each "/" and "#" and nothing
// else changed, so undoing it gives the plain print back. A
// timestamp equals the calendar fields of an independent conversion (days to
// civil date), in both layouts, and all zeros from 2^63 on or for a missing
// FILETIME; timestamp_memo gives the same texts. A type number outside 0 to 9
// reads as its decimal value.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/byte_reader.h"
#include "fuzz/fuzz_check.h"
#include "platform/console.h"
#include "platform/utf.h"
#include "report/report_text.h"

namespace {

std::string unescape(std::string_view e) {
  std::string out;
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (e[i] == u'\\' && i + 1 < e.size() &&
        (e[i + 1] == '/' || e[i + 1] == '#')) {
      ++i;
    }
    out.push_back(e[i]);
  }
  return out;
}

std::u16string widen(const std::string& s) { return {s.begin(), s.end()}; }

// Days since 1970-01-01 to a civil date (proleptic Gregorian), after the
// well-known algorithm on 400-year eras.
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m,
                     unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::u16string expected_timestamp(std::uint64_t v, bool compact) {
  std::int64_t y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (v < (std::uint64_t{1} << 63)) {
    const std::uint64_t secs = v / 10000000;
    // 1601-01-01 is 134774 days before 1970-01-01.
    const auto days = static_cast<std::int64_t>(secs / 86400) - 134774;
    civil_from_days(days, y, mo, d);
    const std::uint64_t rem = secs % 86400;
    h = static_cast<unsigned>(rem / 3600);
    mi = static_cast<unsigned>(rem / 60 % 60);
    s = static_cast<unsigned>(rem % 60);
  }
  char buf[64];
  std::snprintf(buf, sizeof buf,
                compact ? "%04lld%02u%02u%02u%02u%02u"
                        : "%04lld/%02u/%02u %02u:%02u:%02u",
                static_cast<long long>(y), mo, d, h, mi, s);
  return widen(buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  korvo_fuzz::byte_reader in(data, size);

  // Timestamps: an arbitrary count, and the edges near 2^63.
  std::uint64_t v = in.u64();
  switch (in.byte() % 4) {
    case 0:
      v = (std::uint64_t{1} << 63) - 1 - (v % 1000000000);
      break;
    case 1:
      v = (std::uint64_t{1} << 63) + (v % 1000000000);
      break;
    default:
      break;
  }
  const FILETIME ft{static_cast<std::uint32_t>(v),
                    static_cast<std::uint32_t>(v >> 32)};
  for (bool compact : {true, false}) {
    const std::u16string got = korvo::format_timestamp(ft, compact);
    FUZZ_CHECK(got == expected_timestamp(v, compact));
    const korvo::inline_text in_place = korvo::timestamp_text(&ft, compact);
    FUZZ_CHECK(std::u16string(in_place.view()) == got);
    const korvo::inline_text missing = korvo::timestamp_text(nullptr, compact);
    FUZZ_CHECK(std::u16string(missing.view()) ==
               expected_timestamp(~std::uint64_t{0}, compact));
  }

  // The memo of the last second's text gives what timestamp_text gives,
  // along a stream with repeats, near neighbours and missing timestamps.
  for (bool compact : {true, false}) {
    korvo::timestamp_memo memo(compact);
    const std::uint64_t stream[] = {v, v, v + 1, v + 10000000, v - 1, v};
    for (std::uint64_t w : stream) {
      const FILETIME f{static_cast<std::uint32_t>(w),
                       static_cast<std::uint32_t>(w >> 32)};
      const korvo::inline_text expected = korvo::timestamp_text(&f, compact);
      FUZZ_CHECK(std::u16string(memo.text(&f).view()) ==
                 std::u16string(expected.view()));
      if ((in.byte() & 1) != 0) {
        const korvo::inline_text none = korvo::timestamp_text(nullptr, compact);
        FUZZ_CHECK(std::u16string(memo.text(nullptr).view()) ==
                   std::u16string(none.view()));
      }
    }
  }

  // Type names.
  const auto type = static_cast<std::int32_t>(in.u32());
  const korvo::inline_text type_name = korvo::item_type_name(type);
  const std::u16string name(type_name.view());
  if (type >= 0 && type <= 9) {
    FUZZ_CHECK(name == korvo::item_type_names[type]);
  } else {
    FUZZ_CHECK(name == widen(std::to_string(type)));
  }

  // Escaping: the rest of the input as UTF-16 units, with the separators
  // and the backslash made frequent.
  std::u16string text = in.units(in.left() / 2);
  for (char16_t& c : text) {
    if (c < 0x100 && c % 4 == 0) c = u"/#\\a"[(c / 4) % 4];
  }
  // A zero-terminated text prints up to its first zero unit.
  const std::u16string_view up_to_zero =
      std::u16string_view(text).substr(0, text.find(u'\0'));
  std::string plain, escaped;
  korvo::format_to(plain, "%s", {text.c_str()});
  korvo::format_to(escaped, "<%s>", {korvo::escape_compact_arg(text.c_str())});
  FUZZ_CHECK(escaped.size() >= 2 && escaped.front() == '<' &&
             escaped.back() == '>');
  escaped = escaped.substr(1, escaped.size() - 2);
  std::size_t separators = 0;
  for (char16_t c : up_to_zero) separators += (c == u'/' || c == u'#');
  FUZZ_CHECK(escaped.size() == plain.size() + separators);
  FUZZ_CHECK(unescape(escaped) == plain);
  // No byte of a longer UTF-8 sequence is ASCII, so every "/" and "#" byte
  // is a separator of the text, and has its backslash.
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '/' || escaped[i] == '#') {
      FUZZ_CHECK(i > 0 && escaped[i - 1] == '\\');
    }
  }
  return 0;
}
