// The session library's decoders of the smaller answers: formats, errors,
// ping, acknowledgements and the write answer.
//
// Properties: whatever the bytes, no decoder crashes or throws; a refusal
// comes with a short reason; a format list handed out has no null where
// korvo expects an object or a text, and no control character in a text.
// The first byte picks the decoder.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "qel/answer_decoder.h"
#include "qel/service_text.h"

namespace {

using namespace rfid_qel;

void check_text(const char16_t* text) {
  FUZZ_CHECK(text != nullptr);
  for (const char16_t* p = text; *p != 0; ++p) FUZZ_CHECK(!is_control(*p));
}

void check_formats(IRfidTagFormatList* list) {
  for (std::uint32_t i = 0; i < list->count(); ++i) {
    IRfidTagFormat* f = list->item(i);
    FUZZ_CHECK(f != nullptr);
    check_text(f->description());
    check_text(f->markets());
    check_text(f->usages());
    IRfidFieldDefList* fields = f->fieldDefs();
    FUZZ_CHECK(fields != nullptr);
    for (std::uint32_t k = 0; k < fields->count(); ++k) {
      IRfidFieldDef* d = fields->item(k);
      FUZZ_CHECK(d != nullptr);
      check_text(d->name());
      check_text(d->description());
      check_text(d->longDescription());
    }
    FUZZ_CHECK(fields->item(fields->count()) == nullptr);
  }
  FUZZ_CHECK(list->item(list->count()) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const std::string_view answer(reinterpret_cast<const char*>(data + 1),
                                size - 1);
  std::string why;
  bool ok = true;
  switch (data[0] % 5) {
    case 0: {
      auto list = decode_formats(answer, why);
      ok = list != nullptr;
      if (ok) check_formats(list.get());
      break;
    }
    case 1: {
      const std::string message = service_error_message(answer);
      FUZZ_CHECK(message.size() <= answer.size());
      break;
    }
    case 2: {
      ping_answer ping;
      ok = decode_ping(answer, ping, why);
      FUZZ_CHECK(!ping.tag_service || ping.protocol.has_value());
      break;
    }
    case 3:
      ok = decode_acknowledgement(answer, why);
      break;
    default: {
      std::optional<std::uint64_t> first_seen;
      ok = decode_written_tag(answer, first_seen, why);
      FUZZ_CHECK(ok || !first_seen);
      break;
    }
  }
  if (!ok) FUZZ_CHECK(!why.empty() && why.size() < 300);
  return 0;
}
