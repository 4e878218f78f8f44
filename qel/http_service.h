// One request to the tag service over HTTP, with bounded time, size and
// headers. The answer's body comes back as text for a decoder to read.
#ifndef KORVO_QEL_HTTP_SERVICE_H_
#define KORVO_QEL_HTTP_SERVICE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "qel/service_url.h"
#include "qel/status.h"

namespace rfid_qel {

// A 2xx answer's body as it came, or why there is none.
struct answer_text {
  std::int32_t status = status_ok;  // status_ok or a negative status
  std::string message;              // set when status is negative
  std::string text;                 // the answer's body on success
};

// Largest answer body the session accepts, in bytes.
inline constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;
// Most bytes of an answer's status line and headers together.
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
// An answer that comes slower than this, on average, for as long as one
// read may wait, is given up.
inline constexpr long kMinBytesPerSecond = 1024;

// Whether a request may change what the service holds. When such a request
// fails after it was sent, the message says the service may have carried it
// out.
enum class request_effect { reads, changes };

// Sends METHOD base_path + path (path starts with "/"), with body as its
// JSON body when not null, and waits for the answer within address.limits.
// Success is a 2xx answer of at most kMaxAnswerBytes. Anything else gives a
// negative status and a message that names the request's URL; a service
// error answer contributes its own message.
//
// Connections stay open between the requests one thread makes, so the
// requests of a run reuse one connection. No proxy, redirect or
// compression is used; an https address is served over TLS 1.2 or later
// with the service's certificate and host name always verified. The token
// (see credentials.h) goes as "Authorization: Bearer"; a 401 or 403 says
// the service refused it (status_service_error). Thread-safe; never throws
// except std::bad_alloc.
answer_text fetch_answer_text(const service_address& address,
                              const char* method, const std::string& path,
                              const std::string* body,
                              request_effect effect = request_effect::reads);

}  // namespace rfid_qel

#endif  // KORVO_QEL_HTTP_SERVICE_H_
