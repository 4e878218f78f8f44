#include "tag_service/readers/reader.h"

#include <chrono>

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

std::shared_ptr<const std::vector<item>> reader::shared_items() {
  return std::make_shared<const std::vector<item>>(items());
}

void reader::observe(reader_observer*) {}

std::int64_t utc_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tag_service
