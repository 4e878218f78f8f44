// The pieces both listings print with: compact escaping, timestamps and the
// names of item and tag types.
#ifndef KORVO_REPORT_REPORT_TEXT_H_
#define KORVO_REPORT_REPORT_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "session/rfid_session.h"

namespace korvo {

// A text from the session; a missing one reads as empty.
inline std::u16string_view session_text(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

// Names of the type numbers that items and tags report.
inline constexpr std::u16string_view item_type_names[10] = {
    u"Blank",    u"Discard", u"Equipment", u"Ignore", u"Item",
    u"Location", u"Other",   u"Person",    u"Task",   u"Unknown",
};

// A short text held in place, so that making one needs no heap.
struct inline_text {
  char16_t chars[24];
  std::size_t size = 0;

  std::u16string_view view() const { return {chars, size}; }
};

// The name of a type number; a number outside 0 to 9 has none and reads as
// its decimal value ("12", "-1").
inline_text item_type_name(std::int32_t type);

// The two units that separate the fields of a compact record, and so get a
// backslash before them in a text.
inline constexpr char16_t kCompactSeparators[2] = {u'/', u'#'};

// A zero-terminated text from the session as a print argument that prints
// escaped for a compact record: each "/" and "#" preceded by a backslash,
// nothing else changed (a backslash in the text stays single); null prints
// as nothing. The one form of the compact escaping: a listing escapes every
// text of every record, so the text is marked while it prints, never copied.
inline print_arg escape_compact_arg(const char16_t* text) {
  return print_arg::backslashed(text, kCompactSeparators[0],
                                kCompactSeparators[1]);
}

// A FILETIME as UTC calendar fields: "YYYYMMDDhhmmss" when compact, else
// "YYYY/MM/DD hh:mm:ss" (the year takes more digits once it passes 9999).
// A count of 2^63 and more cannot be converted and prints as all zeros.
std::u16string format_timestamp(FILETIME filetime, bool compact);

// As format_timestamp, without the heap. A missing FILETIME prints like one
// that cannot be converted.
inline_text timestamp_text(const FILETIME* filetime, bool compact);

// timestamp_text for a stream of timestamps, which in a reading mostly
// repeat (a tag and its item, many tags seen in the same second): the last
// second's text is kept and reused.
class timestamp_memo {
 public:
  explicit timestamp_memo(bool compact) : compact_(compact) {}
  const inline_text& text(const FILETIME* filetime);

 private:
  bool compact_;
  bool filled_ = false;
  std::uint64_t second_ = 0;  // of the kept text; all ones for none
  inline_text text_;
};

}  // namespace korvo

#endif  // KORVO_REPORT_REPORT_TEXT_H_
