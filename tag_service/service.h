// The tag service: the simulated reader and its field behind the JSON
// protocol, served by an httplib server under /TagService.
#ifndef KORVO_TAG_SERVICE_SERVICE_H_
#define KORVO_TAG_SERVICE_SERVICE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "tag_service/field.h"

namespace httplib {
class Server;
}

namespace tag_service {

// Largest request body the service reads, in bytes.
inline constexpr std::size_t kMaxRequestBytes = 64 * 1024;
// Tags made by "create" and not yet written that the service keeps; the
// oldest goes first.
inline constexpr std::size_t kMaxPendingTags = 1000;

// A delay and/or a failure that test code puts in front of an operation.
struct injection {
  int delay_ms = 0;     // waited before the operation (0 to 60000)
  int status = 0;       // when 400 to 599, the operation fails with it
  std::string message;  // the failure's message
  int times = 0;        // how many requests it hits; 0: until cleared
};

class simulator {
 public:
  explicit simulator(field f);

  // Registers the protocol's routes and the server's limits, timeouts and
  // error answers. log: one line per request on standard error.
  void attach(httplib::Server& server, bool log);

  // Ends every injected delay at once, so that the server can stop.
  void shut_down();

  // An operation's answer: HTTP status and JSON body.
  struct answer {
    int status = 200;
    nlohmann::json body;
  };

  // Runs one operation as a request would, after its injection (for tests
  // in the same process). op is one of the operation names.
  answer run(const std::string& op, const std::string& body);

 private:
  answer dispatch(const std::string& op, const nlohmann::json& request);
  answer create_tag(const nlohmann::json& request);
  answer write_tag(const nlohmann::json& request);
  answer set_security(const nlohmann::json& request);
  answer inject(const nlohmann::json& request);
  answer state();
  std::string fresh_tag_id();
  std::string fresh_item_id();
  tag* find_tag(const std::string& id);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  field field_;
  bool connected_ = false;
  std::map<std::string, tag> pending_;  // by id
  std::deque<std::string> pending_order_;
  std::uint64_t next_tag_ = 1;
  std::uint64_t next_item_ = 1;
  std::map<std::string, injection> injections_;  // by operation or "*"
  std::map<std::string, std::uint64_t> calls_;
};

// Message text safe to put in JSON: invalid UTF-8 and control characters
// become '?', and it is cut at max_bytes.
std::string printable(std::string_view text, std::size_t max_bytes = 200);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_H_
