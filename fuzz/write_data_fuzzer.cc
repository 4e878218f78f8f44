// Write data ("FORMAT:name=value;...") against the demo scene's formats.
//
// Properties: the data is refused with input_error or becomes a tag of an
// enabled format whose values name that format's fields, each once, in the
// order of its field definitions, hold no control character and serialize
// as JSON.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tag_service/model/wire_json.h"
#include "tag_service/model/write_data.h"
#include "tag_service/readers/simulated/scene_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace tag_service;
  static const scene demo =
      load_scene(nlohmann::json::parse(demo_scene_json()), 0);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tag t;
  try {
    t = parse_write_data(demo, bytes);
  } catch (const input_error&) {
    return 0;
  }
  const tag_format* f = find_format(demo, t.format);
  FUZZ_CHECK(f != nullptr && f->enabled);
  std::size_t next = 0;  // values follow the field definitions
  for (const field_value& v : t.values) {
    while (next < f->fields.size() && f->fields[next].name != v.name) ++next;
    FUZZ_CHECK(next < f->fields.size());
    ++next;
    for (const char c : v.value) {
      const auto b = static_cast<unsigned char>(c);
      FUZZ_CHECK(b >= 0x20 && b != 0x7F);
    }
  }
  FUZZ_CHECK(!tag_json(t).dump().empty());
  return 0;
}
