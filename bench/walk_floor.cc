// The rendering floor: what any client must spend to print a reading, short
// of printing it. Loads the library given as the only argument, opens a
// session, connects, reads, and walks every item, tag and field value the way
// korvo's report does (counts asked before every step, every getter called,
// every text read to its end, every timestamp read), then releases the
// reading and closes. Nothing is printed; a checksum of all it read keeps
// the compiler from dropping the walk.
#include <cstdint>

#include "bench/load_session.h"

namespace {

std::uint64_t sum = 0;

// Every unit is loaded once, as a client that copies the text must; the sum
// is the cheapest use of a unit (no multiply chain that would slow the floor).
void read_text(const char16_t* text) {
  if (text == nullptr) return;
  for (; *text != 0; ++text) sum += *text;
}

void read_time(const FILETIME* t) {
  if (t != nullptr) sum += filetime_value(*t);
}

void walk(IRfidItemList* items) {
  for (std::uint32_t i = 0; i < items->count(); ++i) {
    IRfidItem* item = items->item(i);
    IRfidTagList* tags = item->tags();
    read_text(item->id());
    sum += item->valid() + item->secured() * 2u;
    sum += static_cast<std::uint32_t>(item->type());
    read_time(item->firstSeen());
    for (std::uint32_t n = 0; n < tags->count(); ++n) {
      IRfidTag* tag = tags->item(n);
      read_text(tag->id());
      sum += static_cast<std::uint32_t>(tag->format()) +
             static_cast<std::uint32_t>(tag->type());
      sum += tag->secured() + tag->security() * 2u;
      read_time(tag->firstSeen());
      IRfidFieldValueList* values = tag->fieldValues();
      for (std::uint32_t k = 0; k < values->count(); ++k) {
        IRfidFieldValue* v = values->item(k);
        read_text(v->name());
        read_text(v->value());
        read_text(v->valueDescription());
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  IRfidSession* session = load_session(argv[1]);
  if (session == nullptr) return 1;
  int code = 1;
  if (session->openService(kBenchServiceUrl) && session->connectReader()) {
    if (IRfidItemList* items = session->readItems()) {
      walk(items);
      items->release();
      code = 0;
    }
  }
  session->closeSession();
  // The checksum decides nothing, but the walk cannot be left out.
  return sum == 1 ? 3 : code;
}
