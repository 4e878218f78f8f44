// The model in the protocol's JSON forms, as the service answers with it,
// written straight into text by a json_writer.
#ifndef KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_
#define KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_

#include <nlohmann/json.hpp>

#include "tag_service/model/json_writer.h"
#include "tag_service/model/model.h"

namespace tag_service {

// The protocol's JSON forms, each written as one value. Members come in
// the order of their names, as they always have.
void write_format(json_writer& w, const tag_format& f);
void write_tag(json_writer& w, const tag& t);
void write_item(json_writer& w, const item& i);

// The whole scene, in the form load_scene reads (the wire forms without
// what the service derives: has_value_description and an item's secured).
void write_scene(json_writer& w, const scene& s);
// The same, read back as a document, for callers that edit or compare it.
nlohmann::json scene_json(const scene& s);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_
