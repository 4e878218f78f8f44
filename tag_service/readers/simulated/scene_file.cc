#include "tag_service/readers/simulated/scene_file.h"

#include <set>

#include "protocol/wire_time.h"
#include "tag_service/model/file_text.h"

namespace tag_service {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxIdBytes = 128;

[[noreturn]] void bad(const std::string& where, const std::string& what) {
  throw input_error(where + " " + what);
}

void check_keys(const json& j, const std::string& where,
                std::initializer_list<const char*> known) {
  if (!j.is_object()) bad(where, "is not a JSON object");
  for (const auto& [key, value] : j.items()) {
    bool found = false;
    for (const char* k : known) found = found || key == k;
    if (!found) bad(where, "has an unknown member '" + key + "'");
  }
}

const json* member(const json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

std::string text_at(const json& j, const std::string& where, const char* key,
                    bool required, std::size_t max_bytes = kMaxTextBytes) {
  const json* v = member(j, key);
  const std::string at = where + "." + key;
  if (v == nullptr) {
    if (required) bad(at, "is missing");
    return {};
  }
  if (!v->is_string()) bad(at, "is not a text");
  const auto& s = v->get_ref<const std::string&>();
  if (s.size() > max_bytes) {
    bad(at, "is longer than " + std::to_string(max_bytes) + " bytes");
  }
  if (required && s.empty()) bad(at, "is empty");
  return s;
}

std::int32_t int_at(const json& j, const std::string& where, const char* key,
                    std::int32_t fallback, std::int32_t low = INT32_MIN,
                    std::int32_t high = INT32_MAX) {
  const json* v = member(j, key);
  if (v == nullptr) return fallback;
  const std::string at = where + "." + key;
  if (!v->is_number_integer()) bad(at, "is not an integer");
  if (v->is_number_unsigned() && v->get<std::uint64_t>() > INT32_MAX) {
    bad(at, "is out of range");
  }
  const auto i = v->get<std::int64_t>();
  if (i < low || i > high) {
    bad(at,
        "must be from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return static_cast<std::int32_t>(i);
}

bool bool_at(const json& j, const std::string& where, const char* key,
             bool fallback) {
  const json* v = member(j, key);
  if (v == nullptr) return fallback;
  if (!v->is_boolean()) bad(where + "." + key, "is not true or false");
  return v->get<bool>();
}

std::uint64_t time_at(const json& j, const std::string& where, const char* key,
                      std::uint64_t fallback) {
  const json* v = member(j, key);
  if (v == nullptr) return fallback;
  if (v->is_string()) {
    if (auto t = tag_protocol::parse_utc_timestamp(v->get<std::string>())) {
      return *t;
    }
  }
  bad(where + "." + key, "is not a UTC time such as 2024-05-13T09:41:07Z");
}

const json& array_at(const json& j, const std::string& where, const char* key,
                     std::size_t max_size) {
  static const json kEmpty = json::array();
  const json* v = member(j, key);
  if (v == nullptr) return kEmpty;
  if (!v->is_array()) bad(where + "." + key, "is not a list");
  if (v->size() > max_size) {
    bad(where + "." + key,
        "has more than " + std::to_string(max_size) + " entries");
  }
  return *v;
}

std::string at_index(const std::string& where, const char* key, std::size_t i) {
  return where + "." + key + "[" + std::to_string(i) + "]";
}

std::string lower_ascii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

std::int32_t type_at(const json& j, const std::string& where) {
  return int_at(j, where, "type", 4, 0, 9);
}

field_def load_field_def(const json& j, const std::string& where) {
  check_keys(j, where,
             {"id", "name", "type", "description", "long_description",
              "minimum", "maximum", "codes"});
  field_def d;
  d.id = int_at(j, where, "id", 0);
  d.name = text_at(j, where, "name", true, kMaxIdBytes);
  if (d.name.find_first_of(";=\\") != std::string::npos) {
    bad(where + ".name", "cannot hold ';', '=' or '\\'");
  }
  d.type = int_at(j, where, "type", field_text, field_text, field_code);
  d.description = text_at(j, where, "description", false);
  d.long_description = text_at(j, where, "long_description", false);
  d.minimum = int_at(j, where, "minimum", 0);
  d.maximum = int_at(j, where, "maximum", 0);
  if (d.type != field_code && d.minimum > d.maximum) {
    bad(where, "has a minimum above its maximum");
  }
  if (d.type == field_text && d.minimum < 0) {
    bad(where + ".minimum", "of a text length cannot be negative");
  }
  const json& codes = array_at(j, where, "codes", kMaxCodes);
  if (d.type == field_code && codes.empty()) {
    bad(where + ".codes", "must list the codes of a code field");
  }
  if (d.type != field_code && !codes.empty()) {
    bad(where + ".codes", "belongs to code fields (type 3) only");
  }
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::string at = at_index(where, "codes", i);
    check_keys(codes[i], at, {"code", "description"});
    d.codes.push_back({text_at(codes[i], at, "code", true, kMaxIdBytes),
                       text_at(codes[i], at, "description", false)});
  }
  return d;
}

tag_format load_format(const json& j, const std::string& where) {
  check_keys(j, where,
             {"id", "description", "enabled", "markets", "ordinal", "usages",
              "tag_type", "fields"});
  tag_format f;
  f.id = int_at(j, where, "id", 0);
  if (member(j, "id") == nullptr) bad(where + ".id", "is missing");
  f.description = text_at(j, where, "description", false);
  f.enabled = bool_at(j, where, "enabled", true);
  f.markets = text_at(j, where, "markets", false);
  f.ordinal = int_at(j, where, "ordinal", 0);
  f.usages = text_at(j, where, "usages", false);
  f.tag_type = int_at(j, where, "tag_type", 4, 0, 9);
  const json& fields = array_at(j, where, "fields", kMaxFieldsPerFormat);
  std::set<std::string> names;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string at = at_index(where, "fields", i);
    f.fields.push_back(load_field_def(fields[i], at));
    if (!names.insert(lower_ascii(f.fields.back().name)).second) {
      bad(at + ".name", "repeats a field name of this format");
    }
  }
  return f;
}

field_value load_value(const json& j, const std::string& where) {
  check_keys(j, where, {"name", "value", "description"});
  field_value v;
  v.name = text_at(j, where, "name", true, kMaxIdBytes);
  v.value = text_at(j, where, "value", false);
  if (member(j, "description") != nullptr) {
    v.description = text_at(j, where, "description", false);
  }
  return v;
}

tag load_tag(const json& j, const std::string& where, std::uint64_t now) {
  check_keys(
      j, where,
      {"id", "format", "type", "security", "secured", "first_seen", "values"});
  tag t;
  t.id = text_at(j, where, "id", true, kMaxIdBytes);
  t.format = int_at(j, where, "format", 0);
  t.type = type_at(j, where);
  t.security = bool_at(j, where, "security", false);
  t.secured = bool_at(j, where, "secured", false);
  t.first_seen = time_at(j, where, "first_seen", now);
  const json& values = array_at(j, where, "values", kMaxValuesPerTag);
  for (std::size_t i = 0; i < values.size(); ++i) {
    t.values.push_back(load_value(values[i], at_index(where, "values", i)));
  }
  return t;
}

item load_item(const json& j, const std::string& where, std::uint64_t now) {
  check_keys(j, where, {"id", "valid", "type", "first_seen", "tags"});
  item it;
  it.id = text_at(j, where, "id", true, kMaxIdBytes);
  it.valid = bool_at(j, where, "valid", true);
  it.type = type_at(j, where);
  it.first_seen = time_at(j, where, "first_seen", now);
  const json& tags = array_at(j, where, "tags", kMaxTagsPerItem);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    it.tags.push_back(load_tag(tags[i], at_index(where, "tags", i), now));
  }
  return it;
}

}  // namespace

scene load_scene(const json& j, std::uint64_t now) {
  check_keys(j, "scene", {"formats", "items"});
  scene f;
  const json& formats = array_at(j, "scene", "formats", kMaxFormats);
  std::set<std::int32_t> format_ids;
  for (std::size_t i = 0; i < formats.size(); ++i) {
    const std::string at = at_index("scene", "formats", i);
    f.formats.push_back(load_format(formats[i], at));
    if (!format_ids.insert(f.formats.back().id).second) {
      bad(at + ".id", "repeats the id of another format");
    }
  }
  const json& items = array_at(j, "scene", "items", kMaxItems);
  std::set<std::string> item_ids, tag_ids;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string at = at_index("scene", "items", i);
    f.items.push_back(load_item(items[i], at, now));
    const item& it = f.items.back();
    if (!item_ids.insert(lower_ascii(it.id)).second) {
      bad(at + ".id", "repeats the id of another item");
    }
    for (std::size_t k = 0; k < it.tags.size(); ++k) {
      if (!tag_ids.insert(lower_ascii(it.tags[k].id)).second) {
        bad(at_index(at, "tags", k) + ".id", "repeats the id of another tag");
      }
    }
  }
  return f;
}

std::string read_scene_file(const std::string& path) {
  return read_file_text(path, kMaxSceneFileBytes)->text;
}

}  // namespace tag_service
