// Scene files: the JSON text a --scene FILE holds.
//
// Properties: the text is refused (not JSON, or input_error) or becomes a
// scene within every limit whose own file form loads again to the same
// scene.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tag_service/model/wire_json.h"
#include "tag_service/readers/simulated/scene_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace tag_service;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded()) return 0;
  scene s;
  try {
    s = load_scene(j, 0);
  } catch (const input_error&) {
    return 0;
  }
  FUZZ_CHECK(s.formats.size() <= kMaxFormats);
  FUZZ_CHECK(s.items.size() <= kMaxItems);
  for (const item& i : s.items) FUZZ_CHECK(i.tags.size() <= kMaxTagsPerItem);
  const nlohmann::json file = scene_json(s);
  FUZZ_CHECK(!file.dump().empty());
  scene again;
  try {
    again = load_scene(file, 0);
  } catch (const input_error&) {
    FUZZ_CHECK(false);  // its own form must load
  }
  FUZZ_CHECK(scene_json(again) == file);
  return 0;
}
