// The tag service's operations: a request body in, an HTTP status and JSON
// body out, with no HTTP in between. The operations check each request,
// run it on a reader, and let tests put delays and failures in front of
// them. tag_service/service/server.h serves them over HTTP.
#ifndef KORVO_TAG_SERVICE_SERVICE_SERVICE_H_
#define KORVO_TAG_SERVICE_SERVICE_SERVICE_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tag_service/readers/reader.h"

namespace tag_service {

// Largest request body the service reads, in bytes.
inline constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// A delay and/or a failure that test code puts in front of an operation.
struct injection {
  int delay_ms = 0;     // waited before the operation (0 to 60000)
  int status = 0;       // when 400 to 599, the operation fails with it
  std::string message;  // the failure's message
  int times = 0;        // how many requests it hits; 0: until cleared
};

class service {
 public:
  explicit service(std::unique_ptr<reader> r);

  // Ends every injected delay at once, so that the server can stop.
  void shut_down();

  // An operation's answer: HTTP status and JSON body.
  struct answer {
    int status = 200;
    nlohmann::json body;
  };

  // Runs one operation on a request body ("" for none), after its
  // injection. op is one of the protocol's operations (ping, connect,
  // disconnect, formats, items, create, write, security) or a test hook
  // (inject, clear, state); anything else is a 404.
  answer run(const std::string& op, const std::string& body);

  // The live view's snapshot of the reader and what it sees, at the time
  // given (see live_view.h); read-only, whether or not the reader is
  // connected.
  nlohmann::json live_snapshot(std::uint64_t now_filetime);

 private:
  answer dispatch(const std::string& op, const nlohmann::json& request);
  answer inject(const nlohmann::json& request);
  answer state();

  std::unique_ptr<reader> reader_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<std::string, injection> injections_;  // by operation or "*"
  std::map<std::string, std::uint64_t> calls_;
};

// The JSON error answer every failure carries:
// {"error": {"status": N, "message": "..."}}.
service::answer error_answer(int status, std::string_view message);

// Message text safe to put in JSON: invalid UTF-8 and control characters
// become '?', and it is cut at max_bytes.
std::string printable(std::string_view text, std::size_t max_bytes = 200);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_SERVICE_H_
