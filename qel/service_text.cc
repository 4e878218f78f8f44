#include "qel/service_text.h"

#include "platform/utf.h"

namespace rfid_qel {

char16_t* write_service_text(char16_t* out, std::string_view utf8) {
  char16_t* end = korvo::write_utf16(out, utf8);
  // A control character is one byte in UTF-8 and one unit in UTF-16, and no
  // other sequence decodes to one, so it is replaced in place.
  // Written without a branch per unit, so that the compiler vectorises it.
  for (char16_t* p = out; p != end; ++p) {
    const char16_t u = *p;
    *p = is_control(u) ? u'\uFFFD' : u;
  }
  return end;
}

std::u16string service_text_utf16(std::string_view utf8) {
  std::u16string out(utf8.size(), u'\0');
  out.resize(static_cast<std::size_t>(write_service_text(out.data(), utf8) -
                                      out.data()));
  return out;
}

}  // namespace rfid_qel
