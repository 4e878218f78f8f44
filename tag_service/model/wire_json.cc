#include "tag_service/model/wire_json.h"

#include "protocol/wire_time.h"

namespace tag_service {
namespace {

using nlohmann::json;

json field_def_json(const field_def& d, bool wire) {
  json j = {{"id", d.id},
            {"name", d.name},
            {"type", d.type},
            {"description", d.description},
            {"long_description", d.long_description},
            {"minimum", d.minimum},
            {"maximum", d.maximum}};
  if (wire) j["has_value_description"] = d.type == field_code;
  if (!d.codes.empty()) {
    json codes = json::array();
    for (const code_entry& c : d.codes) {
      codes.push_back({{"code", c.code}, {"description", c.description}});
    }
    j["codes"] = std::move(codes);
  }
  return j;
}

json format_json(const tag_format& f, bool wire) {
  json fields = json::array();
  for (const field_def& d : f.fields) fields.push_back(field_def_json(d, wire));
  return {{"id", f.id},
          {"description", f.description},
          {"enabled", f.enabled},
          {"markets", f.markets},
          {"ordinal", f.ordinal},
          {"usages", f.usages},
          {"tag_type", f.tag_type},
          {"fields", std::move(fields)}};
}

json item_json(const item& i, bool wire) {
  json tags = json::array();
  for (const tag& t : i.tags) tags.push_back(tag_json(t));
  json j = {{"id", i.id},
            {"valid", i.valid},
            {"type", i.type},
            {"first_seen", tag_protocol::format_utc_timestamp(i.first_seen)},
            {"tags", std::move(tags)}};
  if (wire) j["secured"] = i.secured();
  return j;
}

}  // namespace

json format_json(const tag_format& f) { return format_json(f, true); }

json tag_json(const tag& t) {
  json values = json::array();
  for (const field_value& v : t.values) {
    json jv = {{"name", v.name}, {"value", v.value}};
    if (v.description) jv["description"] = *v.description;
    values.push_back(std::move(jv));
  }
  return {{"id", t.id},
          {"format", t.format},
          {"type", t.type},
          {"security", t.security},
          {"secured", t.secured},
          {"first_seen", tag_protocol::format_utc_timestamp(t.first_seen)},
          {"values", std::move(values)}};
}

json item_json(const item& i) { return item_json(i, true); }

json scene_json(const scene& f) {
  json formats = json::array();
  for (const tag_format& t : f.formats)
    formats.push_back(format_json(t, false));
  json items = json::array();
  for (const item& i : f.items) items.push_back(item_json(i, false));
  return {{"formats", std::move(formats)}, {"items", std::move(items)}};
}

}  // namespace tag_service
