#include "tag_service/model/model.h"

namespace tag_service {

bool item::secured() const {
  for (const tag& t : tags) {
    if (t.secured) return true;
  }
  return false;
}

const tag_format* find_format(const scene& f, std::int32_t id) {
  for (const tag_format& t : f.formats) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

}  // namespace tag_service
