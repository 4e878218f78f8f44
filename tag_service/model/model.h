// The model the tag service speaks: tag formats with their field
// definitions, and the items a reader sees with their tags. Readers fill
// it, the service answers with it; its JSON wire form is in wire_json.h,
// the rules of write data in write_data.h.
#ifndef KORVO_TAG_SERVICE_MODEL_MODEL_H_
#define KORVO_TAG_SERVICE_MODEL_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
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

// A reader's whole world at one time: the formats it knows and the items
// it sees (a simulated reader's scene, or a snapshot of a real one).
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

// Input that breaks the model's rules (a scene file, write data, a
// request); the message names the place, such as "items[3].tags[0].id".
class input_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The format with this id, or null.
const tag_format* find_format(const scene& f, std::int32_t id);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_MODEL_H_
