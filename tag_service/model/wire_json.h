// The model in the protocol's JSON forms, as the service answers with it.
#ifndef KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_
#define KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_

#include <nlohmann/json.hpp>

#include "tag_service/model/model.h"

namespace tag_service {

// The protocol's JSON forms.
nlohmann::json format_json(const tag_format& f);
nlohmann::json tag_json(const tag& t);
nlohmann::json item_json(const item& i);
// The whole scene, in the form load_scene reads.
nlohmann::json scene_json(const scene& f);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_WIRE_JSON_H_
