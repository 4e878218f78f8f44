// The simulated reader's world, its scene: tag formats with their field
// definitions, and the items the reader sees with their tags. Loaded from
// JSON (a scene file, or the built-in demo scene) and written back as the
// protocol's JSON.
#ifndef KORVO_TAG_SERVICE_SCENE_H_
#define KORVO_TAG_SERVICE_SCENE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tag_service {

// Field types: what a value of the field may be.
enum field_type : std::int32_t {
  field_text = 1,    // any text of minimum to maximum characters
  field_number = 2,  // a decimal integer from minimum to maximum
  field_code = 3,    // one of the listed codes; its description goes along
};

struct code_entry {
  std::string code;
  std::string description;
};

struct field_def {
  std::int32_t id = 0;
  std::string name;
  std::int32_t type = field_text;
  std::string description;
  std::string long_description;
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::vector<code_entry> codes;  // field_code only
};

struct tag_format {
  std::int32_t id = 0;
  std::string description;
  bool enabled = true;
  std::string markets;
  std::int32_t ordinal = 0;
  std::string usages;
  std::int32_t tag_type = 4;  // the type of tags written in this format
  std::vector<field_def> fields;
};

struct field_value {
  std::string name;
  std::string value;
  std::optional<std::string> description;
};

struct tag {
  std::string id;
  std::int32_t format = 0;
  std::int32_t type = 4;
  bool security = false;
  bool secured = false;
  std::uint64_t first_seen = 0;  // FILETIME value
  std::vector<field_value> values;
};

struct item {
  std::string id;
  bool valid = true;
  std::int32_t type = 4;
  std::uint64_t first_seen = 0;
  std::vector<tag> tags;

  // An item counts as secured while one of its tags is.
  bool secured() const;
};

struct scene {
  std::vector<tag_format> formats;
  std::vector<item> items;
};

// Limits that keep a scene, and every request against it, bounded.
inline constexpr std::size_t kMaxTextBytes = 4096;
inline constexpr std::size_t kMaxFormats = 1000;
inline constexpr std::size_t kMaxFieldsPerFormat = 100;
inline constexpr std::size_t kMaxItems = 10000;
inline constexpr std::size_t kMaxTagsPerItem = 100;
inline constexpr std::size_t kMaxValuesPerTag = 100;
inline constexpr std::size_t kMaxCodes = 100;

// A scene file (or request) that breaks the rules; the message names the
// place, such as "items[3].tags[0].id".
class input_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds a scene from its JSON form (see tag_service/README.md), checking
// every member: types, ranges, unique format ids, unique field names within
// a format, unique item ids and tag ids (ASCII letter case ignored). A
// missing first_seen takes `now`. Throws input_error.
scene load_scene(const nlohmann::json& j, std::uint64_t now);

// Largest scene file read, in bytes.
inline constexpr std::size_t kMaxSceneFileBytes = 16 * 1024 * 1024;

// The text of a scene file. Only a regular file of at most
// kMaxSceneFileBytes is read, checked before reading: a FIFO, a device
// (such as /dev/zero) or a directory is refused, as is a file that grows
// past the limit while it is read. Throws input_error with a message that
// names the file.
std::string read_scene_file(const std::string& path);

// The protocol's JSON forms.
nlohmann::json format_json(const tag_format& f);
nlohmann::json tag_json(const tag& t);
nlohmann::json item_json(const item& i);
// The whole scene, in the form load_scene reads.
nlohmann::json scene_json(const scene& f);

const tag_format* find_format(const scene& f, std::int32_t id);

// Parses write data "FORMAT:name=value;name=value" against the scene's
// formats and returns the tag it describes (without id and time): FORMAT is
// a format id, the format must be enabled, every name one of its fields
// (ASCII letter case ignored) at most once, every value valid for its field.
// In names and values "\;", "\=" and "\\" stand for ";", "=" and "\".
// Values come out in the order of the format's field definitions. Throws
// input_error with a message for the client.
tag parse_write_data(const scene& f, std::string_view data);

// The JSON of the built-in demo scene.
std::string_view demo_scene_json();

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SCENE_H_
