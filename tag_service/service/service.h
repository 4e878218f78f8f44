// The tag service's operations: a request body in, an HTTP status and JSON
// body out, with no HTTP in between. The operations check each request,
// run it on a reader, and let tests put delays and failures in front of
// them. tag_service/service/server.h serves them over HTTP.
#ifndef KORVO_TAG_SERVICE_SERVICE_SERVICE_H_
#define KORVO_TAG_SERVICE_SERVICE_SERVICE_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "tag_service/readers/reader.h"
#include "tag_service/service/live_view.h"

namespace tag_service {

// Largest request body the service reads, in bytes.
inline constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// A body given part by part: each call returns the next part, which stays
// valid until the next call; an empty part ends the body. A large answer
// is written as the client takes it, so that it holds a part in memory,
// not its whole text.
using body_parts = std::function<std::string_view()>;

// Parts of a text that outlives them: the text in one part.
body_parts one_part(std::string_view text);
// Parts of a text shared with other answers, which it keeps alive.
body_parts shared_part(std::shared_ptr<const std::string> text);
// Every part, collected.
std::string whole_text(const body_parts& parts);

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

  // An operation's answer: HTTP status and JSON text, whole in body or,
  // for the lists (formats, items), in parts written from a snapshot as
  // they are sent, so that no reader lock is held meanwhile.
  struct answer {
    answer() = default;
    answer(int s, std::string text) : status(s), body(std::move(text)) {}
    answer(int s, body_parts p) : status(s), parts(std::move(p)) {}
    int status = 200;
    std::string body;  // unless parts is set
    body_parts parts;
  };

  // Runs one operation on a request body ("" for none), after its
  // injection. op is one of the protocol's operations (ping, connect,
  // disconnect, formats, items, create, write, security) or a test hook
  // (inject, clear, state); anything else is a 404.
  answer run(const std::string& op, const std::string& body);

  // The live view's snapshot of the reader and what it sees, at the time
  // given (see live_view.h); read-only, whether or not the reader is
  // connected; with what the service adds.
  std::string live_snapshot(std::uint64_t now_filetime,
                            const live_additions& added = {});

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

// The answer's whole JSON text, from its body or its parts.
std::string whole_text(const service::answer& a);

// Message text safe to put in JSON: invalid UTF-8 and control characters
// become '?', and it is cut at max_bytes.
std::string printable(std::string_view text, std::size_t max_bytes = 200);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_SERVICE_H_
