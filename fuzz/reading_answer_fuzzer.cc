// The session library's decoder of readings and created tags: the answers a
// service sends for readItems and createTag, straight into result objects.
//
// Properties: whatever the bytes, a reading is either refused with a short
// reason and nothing held, or handed out whole: every item and tag has a
// non-empty id, every text is terminated and free of control characters,
// every type is 0 to 9, the heap figure counts the reading while it lives
// and is 0 once it is released; an answer handed out is JSON to an
// independent parser (nlohmann/json), and one refused as not well-formed
// is not, unless it holds a NUL byte (which that parser takes as the end of
// the text). The first byte picks the answer's kind.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "qel/reading_decoder.h"
#include "qel/service_text.h"

namespace {

using namespace rfid_qel;

void check_text(const char16_t* text, bool may_be_null = false) {
  if (text == nullptr) {
    FUZZ_CHECK(may_be_null);
    return;
  }
  for (const char16_t* p = text; *p != 0; ++p) FUZZ_CHECK(!is_control(*p));
}

void check_tag(IRfidTag* tag) {
  check_text(tag->id());
  FUZZ_CHECK(*tag->id() != 0);
  FUZZ_CHECK(tag->type() >= 0 && tag->type() <= kUnknownType);
  FUZZ_CHECK(tag->firstSeen() != nullptr);
  IRfidFieldValueList* values = tag->fieldValues();
  FUZZ_CHECK(values != nullptr);
  for (std::uint32_t i = 0; i < values->count(); ++i) {
    IRfidFieldValue* v = values->item(i);
    FUZZ_CHECK(v != nullptr);
    check_text(v->name());
    check_text(v->value());
    check_text(v->valueDescription(), true);
  }
  FUZZ_CHECK(values->item(values->count()) == nullptr);
}

struct no_owner final : tag_owner {
  void release_created_tag(tag_impl*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const std::string_view answer(reinterpret_cast<const char*>(data + 1),
                                size - 1);
  std::string why;
  // Whether the reason refuses the text itself, not what it says.
  const auto check_json = [&](bool handed_out) {
    if (handed_out) {
      FUZZ_CHECK(nlohmann::json::accept(answer));
    } else if (why.find("not well-formed JSON") != std::string::npos &&
               answer.find('\0') == std::string_view::npos) {
      FUZZ_CHECK(!nlohmann::json::accept(answer));
    }
  };
  if (data[0] & 1) {
    no_owner owner;
    created_tag_holder holder;
    const bool created = decode_created_tag(answer, &owner, holder, why);
    check_json(created);
    if (created) {
      FUZZ_CHECK(holder.tag != nullptr && holder.store != nullptr);
      check_tag(holder.tag);
    } else {
      FUZZ_CHECK(!why.empty() && why.size() < 300);
      FUZZ_CHECK(holder.tag == nullptr);
    }
    return 0;
  }
  heap_meter meter;
  auto list = decode_reading(answer, meter, why);
  check_json(list != nullptr);
  if (list == nullptr) {
    FUZZ_CHECK(!why.empty() && why.size() < 300);
    FUZZ_CHECK(meter.bytes() == 0);
    return 0;
  }
  FUZZ_CHECK(meter.bytes() > 0);
  for (std::uint32_t i = 0; i < list->count(); ++i) {
    IRfidItem* item = list->item(i);
    check_text(item->id());
    FUZZ_CHECK(item->type() >= 0 && item->type() <= kUnknownType);
    IRfidTagList* tags = item->tags();
    for (std::uint32_t k = 0; k < tags->count(); ++k) check_tag(tags->item(k));
    FUZZ_CHECK(tags->item(tags->count()) == nullptr);
  }
  FUZZ_CHECK(list->item(list->count()) == nullptr);
  list.release()->release();
  FUZZ_CHECK(meter.bytes() == 0);
  return 0;
}
