#include "tag_service/readers/reader.h"

namespace tag_service {

reader_view reader::view() {
  reader_view v;
  v.source = "reader";
  try {
    v.connected = status().connected;
    v.inventory = v.connected;
    if (v.connected) v.items = items();
  } catch (const reader_error& e) {
    v.last_error = e.message;
  }
  return v;
}

}  // namespace tag_service
