// Decoders of the service's smaller answers: ping, errors, plain
// acknowledgements, the write answer and the format list. (Readings and
// created tags have their own decoder, qel/reading_decoder.h.)
//
// Every answer is parsed as a stream of events into a document bounded in
// nesting depth and in number of values, so that no answer, whatever its
// shape, costs more than a small multiple of its size; the decoders then
// read the members they know. Each returns false (or null) with a reason in
// `why`, a short English phrase such as "'formats' is not a list", when the
// answer breaks the protocol or a limit.
#ifndef KORVO_QEL_ANSWER_DECODER_H_
#define KORVO_QEL_ANSWER_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "qel/result_objects.h"

namespace rfid_qel {

// Deepest nesting of arrays and objects in any answer.
inline constexpr std::size_t kMaxAnswerDepth = 64;
// Most JSON values (each scalar, array and object counts one) in an answer
// read by the decoders here.
inline constexpr std::size_t kMaxAnswerValues = 100000;

// The service's own message in an error answer {"error": {"message": M}};
// empty when the answer has none.
std::string service_error_message(std::string_view answer);

// What a ping answer {"service": NAME, "protocol": N} says.
struct ping_answer {
  bool tag_service = false;              // NAME is ours and N an integer
  std::optional<std::int64_t> protocol;  // N when tag_service
};
bool decode_ping(std::string_view answer, ping_answer& out, std::string& why);

// An answer that only acknowledges: any JSON object.
bool decode_acknowledgement(std::string_view answer, std::string& why);

// The write answer {"tag": {"first_seen": TIME, ...}}: the time as a
// FILETIME value, or none when the object lacks a valid one.
bool decode_written_tag(std::string_view answer,
                        std::optional<std::uint64_t>& first_seen,
                        std::string& why);

// The answer {"formats": [FORMAT, ...]}.
std::unique_ptr<tag_format_list_impl> decode_formats(std::string_view answer,
                                                     std::string& why);

}  // namespace rfid_qel

#endif  // KORVO_QEL_ANSWER_DECODER_H_
