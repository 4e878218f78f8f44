// Write data, "FORMAT:name=value;name=value": the text a client writes a
// new tag with, checked against a format's field definitions.
#ifndef KORVO_TAG_SERVICE_MODEL_WRITE_DATA_H_
#define KORVO_TAG_SERVICE_MODEL_WRITE_DATA_H_

#include <string_view>

#include "tag_service/model/model.h"

namespace tag_service {

// Parses write data "FORMAT:name=value;name=value" against the scene's
// formats and returns the tag it describes (without id and time): FORMAT is
// a format id, the format must be enabled, every name one of its fields
// (ASCII letter case ignored) at most once, every value valid for its field.
// In names and values "\;", "\=" and "\\" stand for ";", "=" and "\".
// Values come out in the order of the format's field definitions. Throws
// input_error with a message for the client.
tag parse_write_data(const scene& f, std::string_view data);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_WRITE_DATA_H_
