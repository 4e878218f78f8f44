// Runs tag-service as a process on a free loopback port, for
// the integration tests, and talks to it directly.
#ifndef KORVO_TESTS_INTEGRATION_SERVICE_PROCESS_H_
#define KORVO_TESTS_INTEGRATION_SERVICE_PROCESS_H_

#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/background_process.h"
#include "tests/support/raw_http.h"

namespace korvo_test {

class service_process {
 public:
  // Starts tag-service --host 127.0.0.1 --port 0 with extra_args and reads
  // the port it prints; its standard error goes to stderr_path (none: it is
  // dropped). Throws std::runtime_error when it does not start within a few
  // seconds.
  explicit service_process(std::vector<std::string> extra_args = {},
                           const std::string& stderr_path = "");
  // The service is stopped with the object (SIGTERM, then SIGKILL after
  // a few seconds).

  int port() const { return port_; }
  // "http://127.0.0.1:PORT/TagService" + suffix.
  std::string url(const std::string& suffix = "") const;

  // SIGSTOP / SIGCONT: the service keeps its socket but stops answering.
  void freeze();
  void thaw();
  // SIGHUP: the service re-reads its tokens file.
  void hang_up() { process_.send_signal(SIGHUP); }

  // Sends SIGTERM and waits at most timeout_ms; returns the exit status
  // (-1 if it had to be killed or died of a signal).
  int stop(int timeout_ms = 5000) { return process_.stop(SIGTERM, timeout_ms); }
  bool running() { return process_.running(); }

  struct reply {
    int status = -1;  // -1: no answer
    std::string body;
    nlohmann::json json() const;
  };
  // One request to the service (path under /TagService).
  reply request(const std::string& method, const std::string& path,
                const std::string& body = "",
                const std::string& content_type = "application/json");

  // The test hooks and the service's own view.
  void inject(const nlohmann::json& injection);
  nlohmann::json state();
  // The reading, after connecting the reader.
  nlohmann::json items();
  // The tag with this id in the reading, or null.
  nlohmann::json find_tag(const std::string& id);

 private:
  background_process process_;
  int port_ = 0;
};

// Raw exchanges with the service: tests/support/raw_http.h.

// A loopback port nobody listens on (bound once, then released).
int unused_port();

struct command_result {
  int code = -1;  // -1: killed after the timeout or by a signal
  std::string out;
  std::string err;
};
// Runs a program with arguments, standard input closed, for at most
// timeout_ms.
command_result run_command(const std::vector<std::string>& args,
                           int timeout_ms = 10000);

// Runs tag-service --port 0 with args and checks, as a test expectation,
// that it refuses to start: exit 2, says on standard error, secret nowhere
// in it.
void expect_refused_at_start(const std::vector<std::string>& args,
                             const std::string& says,
                             const std::string& secret);

}  // namespace korvo_test

#endif  // KORVO_TESTS_INTEGRATION_SERVICE_PROCESS_H_
