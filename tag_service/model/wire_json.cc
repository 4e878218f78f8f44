#include "tag_service/model/wire_json.h"

#include "protocol/wire_time.h"

namespace tag_service {
namespace {

// A timestamp in the protocol's form.
void write_time(json_writer& w, const char* key, std::uint64_t filetime) {
  char text[tag_protocol::kUtcTimestampMax];
  w.member(
      key,
      std::string_view(
          text, static_cast<std::size_t>(
                    tag_protocol::write_utc_timestamp(text, filetime) - text)));
}

// wire: the protocol's form; else the scene file's, without what the
// service derives.
void write_field_def(json_writer& w, const field_def& d, bool wire) {
  w.begin_object();
  if (!d.codes.empty()) {
    w.key("codes");
    w.begin_array();
    for (const code_entry& c : d.codes) {
      w.begin_object();
      w.member("code", c.code);
      w.member("description", c.description);
      w.end_object();
    }
    w.end_array();
  }
  w.member("description", d.description);
  if (wire) w.member("has_value_description", d.type == field_code);
  w.member("id", d.id);
  w.member("long_description", d.long_description);
  w.member("maximum", d.maximum);
  w.member("minimum", d.minimum);
  w.member("name", d.name);
  w.member("type", d.type);
  w.end_object();
}

void write_format(json_writer& w, const tag_format& f, bool wire) {
  w.begin_object();
  w.member("description", f.description);
  w.member("enabled", f.enabled);
  w.key("fields");
  w.begin_array();
  for (const field_def& d : f.fields) write_field_def(w, d, wire);
  w.end_array();
  w.member("id", f.id);
  w.member("markets", f.markets);
  w.member("ordinal", f.ordinal);
  w.member("tag_type", f.tag_type);
  w.member("usages", f.usages);
  w.end_object();
}

void write_item(json_writer& w, const item& i, bool wire) {
  w.begin_object();
  write_time(w, "first_seen", i.first_seen);
  w.member("id", i.id);
  if (wire) w.member("secured", i.secured());
  w.key("tags");
  w.begin_array();
  for (const tag& t : i.tags) write_tag(w, t);
  w.end_array();
  w.member("type", i.type);
  w.member("valid", i.valid);
  w.end_object();
}

}  // namespace

void write_format(json_writer& w, const tag_format& f) {
  write_format(w, f, true);
}

void write_tag(json_writer& w, const tag& t) {
  w.begin_object();
  write_time(w, "first_seen", t.first_seen);
  w.member("format", t.format);
  w.member("id", t.id);
  w.member("secured", t.secured);
  w.member("security", t.security);
  w.member("type", t.type);
  w.key("values");
  w.begin_array();
  for (const field_value& v : t.values) {
    w.begin_object();
    if (v.description) w.member("description", *v.description);
    w.member("name", v.name);
    w.member("value", v.value);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

void write_item(json_writer& w, const item& i) { write_item(w, i, true); }

void write_scene(json_writer& w, const scene& s) {
  w.begin_object();
  w.key("formats");
  w.begin_array();
  for (const tag_format& f : s.formats) write_format(w, f, false);
  w.end_array();
  w.key("items");
  w.begin_array();
  for (const item& i : s.items) write_item(w, i, false);
  w.end_array();
  w.end_object();
}

nlohmann::json scene_json(const scene& s) {
  return nlohmann::json::parse(
      json_text([&](json_writer& w) { write_scene(w, s); }));
}

}  // namespace tag_service
