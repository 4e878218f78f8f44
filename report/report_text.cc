#include "report/report_text.h"

#include <charconv>

#include "platform/calendar.h"

namespace korvo {
namespace {

// Appends value in decimal with at least width digits, zero-padded, as
// "%0<width>u" would.
void append_number(inline_text& t, std::uint32_t value, std::size_t width) {
  // Every field but a year past 9999: a fixed number of digits.
  if (width == 2 && value < 100) {
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value / 10);
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value % 10);
    return;
  }
  if (width == 4 && value < 10000) {
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value / 1000);
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value / 100 % 10);
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value / 10 % 10);
    t.chars[t.size++] = static_cast<char16_t>(u'0' + value % 10);
    return;
  }
  char digits[10];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  const auto n = static_cast<std::size_t>(r.ptr - digits);
  for (std::size_t i = n; i < width; ++i) t.chars[t.size++] = u'0';
  for (std::size_t i = 0; i < n; ++i) t.chars[t.size++] = digits[i];
}

void append_char(inline_text& t, char16_t c) { t.chars[t.size++] = c; }

}  // namespace

inline_text item_type_name(std::int32_t type) {
  inline_text t;
  if (type >= 0 &&
      type < static_cast<std::int32_t>(std::size(item_type_names))) {
    const std::u16string_view name = item_type_names[type];
    name.copy(t.chars, name.size());
    t.size = name.size();
    return t;
  }
  char digits[12];
  const auto r = std::to_chars(digits, digits + sizeof digits, type);
  for (const char* p = digits; p != r.ptr; ++p) append_char(t, *p);
  return t;
}

inline_text timestamp_text(const FILETIME* filetime, bool compact) {
  // Fields stay zero when there is nothing to convert.
  calendar_time c;
  if (filetime != nullptr) filetime_to_utc(filetime_value(*filetime), c);
  // The layouts of "%04u%02u%02u%02u%02u%02u" (compact) and
  // "%04u/%02u/%02u %02u:%02u:%02u" (readable). At most 5 + 14 characters.
  inline_text t;
  append_number(t, c.year, 4);
  if (!compact) append_char(t, u'/');
  append_number(t, c.month, 2);
  if (!compact) append_char(t, u'/');
  append_number(t, c.day, 2);
  if (!compact) append_char(t, u' ');
  append_number(t, c.hour, 2);
  if (!compact) append_char(t, u':');
  append_number(t, c.minute, 2);
  if (!compact) append_char(t, u':');
  append_number(t, c.second, 2);
  return t;
}

const inline_text& timestamp_memo::text(const FILETIME* filetime) {
  // Milliseconds print nowhere, so one second has one text. Counts that
  // print as all zeros (none, or too large to convert: the last convertible
  // count shares its second with the first that is not) are keyed by all
  // ones, which no convertible count's second reaches.
  const std::uint64_t count =
      filetime == nullptr ? kFiletimeLimit : filetime_value(*filetime);
  const std::uint64_t second =
      count >= kFiletimeLimit ? ~std::uint64_t{0} : count / 10000000;
  if (!filled_ || second != second_) {
    text_ = timestamp_text(filetime, compact_);
    second_ = second;
    filled_ = true;
  }
  return text_;
}

std::u16string format_timestamp(FILETIME filetime, bool compact) {
  return std::u16string(timestamp_text(&filetime, compact).view());
}

}  // namespace korvo
