// Texts from the tag service as the session hands them to the client. The
// service is not trusted: a text it sends must not be able to forge a line
// of korvo's output or reach the terminal as a control sequence.
#ifndef KORVO_QEL_SERVICE_TEXT_H_
#define KORVO_QEL_SERVICE_TEXT_H_

#include <string>
#include <string_view>

namespace rfid_qel {

// True for the characters no text handed to the client carries: C0 (NUL to
// U+001F) and DEL.
constexpr bool is_control(char32_t c) { return c < 0x20 || c == 0x7F; }

// The UTF-16 form of a service's UTF-8 text: decoded as
// korvo::utf8_to_utf16 does (a byte outside well-formed UTF-8 becomes
// U+FFFD), and every control character also becomes one U+FFFD, so the
// client sees where something was replaced and no unit is dropped.
std::u16string service_text_utf16(std::string_view utf8);

// Writes that form at out, which must have room for utf8.size() units;
// returns the end of what was written.
char16_t* write_service_text(char16_t* out, std::string_view utf8);

}  // namespace rfid_qel

#endif  // KORVO_QEL_SERVICE_TEXT_H_
