// The simulated reader's scene: the formats and items it holds, read from
// a JSON scene file or the built-in demo scene.
#ifndef KORVO_TAG_SERVICE_READERS_SIMULATED_SCENE_FILE_H_
#define KORVO_TAG_SERVICE_READERS_SIMULATED_SCENE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tag_service/model/model.h"

namespace tag_service {

// Builds a scene from its JSON form (see tag_service/README.md), checking
// every member: types, ranges, unique format ids, unique field names within
// a format, unique item ids and tag ids (ASCII letter case ignored). A
// missing first_seen takes `now`. Throws input_error.
scene load_scene(const nlohmann::json& j, std::uint64_t now);

// Largest scene file read, in bytes.
inline constexpr std::size_t kMaxSceneFileBytes = 16 * 1024 * 1024;

// The text of a scene file of at most kMaxSceneFileBytes, read as
// read_file_text reads (regular files only). Throws input_error with a
// message that names the file.
std::string read_scene_file(const std::string& path);

// The JSON of the built-in demo scene.
std::string_view demo_scene_json();

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_SIMULATED_SCENE_FILE_H_
