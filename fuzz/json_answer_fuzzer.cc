// The session's JSON parser, under the decoders of the service's answers.
//
// Properties: whatever the bytes, it ends; it refuses every text with a NUL
// byte (never JSON; nlohmann/json takes one as the end of the text) and
// otherwise accepts a text exactly when that independent parser does,
// unless the text nests deeper than its limit; a refusal of malformed text
// places the fault inside the text or just past its end; texts reach the
// handler as well-formed UTF-8.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/utf.h"
#include "qel/json_events.h"

namespace {

struct checker {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(std::int64_t v) { return v <= 0; }  // -0 is 0
  bool number_unsigned(std::uint64_t) { return true; }
  bool number_float(double) { return true; }
  bool string(std::string_view v) { return korvo::is_valid_utf8(v); }
  bool key(std::string_view v) { return korvo::is_valid_utf8(v); }
  bool start_object() { return true; }
  bool end_object() { return true; }
  bool start_array() { return true; }
  bool end_array() { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checker c;
  rfid_qel::json_fault fault;
  const bool ok = rfid_qel::parse_json(text, c, fault);
  // The checker refuses only what breaks a property.
  FUZZ_CHECK(fault.what != rfid_qel::json_fault::kind::handler);
  if (fault.what == rfid_qel::json_fault::kind::too_deep) return 0;
  if (text.find('\0') != std::string_view::npos) {
    FUZZ_CHECK(!ok);
  } else {
    FUZZ_CHECK(ok == nlohmann::json::accept(text));
  }
  if (!ok) FUZZ_CHECK(fault.position >= 1 && fault.position <= size + 1);
  return 0;
}
