// One request to the tag service: JSON over HTTP with bounded time and size.
#ifndef KORVO_QEL_HTTP_SERVICE_H_
#define KORVO_QEL_HTTP_SERVICE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "qel/service_url.h"
#include "qel/status.h"

namespace rfid_qel {

struct service_reply {
  std::int32_t status = status_ok;  // status_ok or a negative status
  std::string message;              // set when status is negative
  nlohmann::json body;              // the answer's JSON object on success
};

// A 2xx answer's body as it came, for answers read as a stream.
struct service_text {
  std::int32_t status = status_ok;  // status_ok or a negative status
  std::string message;              // set when status is negative
  std::string text;                 // the answer's body on success
};

// Largest answer the session accepts, in bytes.
inline constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;

// Sends METHOD base_path + path (path starts with "/") with the given JSON
// body (none when null) and waits for the answer within address.limits.
// Success is a 2xx answer whose body is a JSON object. Anything else gives a
// negative status and a message that names the request's URL; a service
// error answer contributes its own message. Failures come back as a status;
// only running out of memory while reporting one can throw.
service_reply call_service(const service_address& address, const char* method,
                           const std::string& path, const nlohmann::json* body);

// Like call_service, but success is any 2xx answer, whose body comes back
// unparsed for the caller to read (and check) itself.
service_text fetch_service(const service_address& address, const char* method,
                           const std::string& path, const nlohmann::json* body);

}  // namespace rfid_qel

#endif  // KORVO_QEL_HTTP_SERVICE_H_
