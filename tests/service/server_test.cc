// The service's HTTP server in process: which routes it serves with and
// without the test hooks, and pages added outside the service's path.
#include "tag_service/service/server.h"

#include <gtest/gtest.h>

#include <thread>

#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"
#include "tests/support/raw_http.h"

namespace tag_service {
namespace {

// A server of the demo scene on a free loopback port, running until the
// end of the test.
struct running_server {
  explicit running_server(bool test_hooks)
      : sim(std::make_unique<simulated_reader>(
            load_scene(nlohmann::json::parse(demo_scene_json()), 0))),
        http(sim, {"127.0.0.1", 0, false, test_hooks}) {
    http.add_page("/", {"text/plain", [] { return std::string("hello"); }});
    port = http.listen();
    thread = std::thread([this] { http.run(); });
  }
  ~running_server() {
    http.stop();
    thread.join();
  }
  service sim;
  server http;
  int port = -1;
  std::thread thread;
};

TEST(Server, TestHooksAndPagesAreServedOnlyWhereAsked) {
  struct {
    bool hooks;
    std::string request;
    const char* status_line;
    const char* body_part;
  } cases[] = {
      {false, "GET /TagService/test/state", "HTTP/1.1 404",
       "no such resource: GET /TagService/test/state"},
      {false, "POST /TagService/test/inject", "HTTP/1.1 404",
       "no such resource"},
      {true, "GET /TagService/test/state", "HTTP/1.1 200", "\"calls\""},
      {false, "GET /TagService/ping", "HTTP/1.1 200", "tag-service"},
      {false, "GET /", "HTTP/1.1 200", "hello"},
      {false, "DELETE /", "HTTP/1.1 405", "use GET"},
      {true, "GET /TagService", "HTTP/1.1 404", "no such resource"},
  };
  running_server without(false);
  running_server with(true);
  for (const auto& c : cases) {
    const std::string answer = korvo_test::raw_exchange(
        c.hooks ? with.port : without.port,
        c.request +
            " HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u)
        << c.request << ": " << answer;
    EXPECT_NE(answer.find(c.body_part), std::string::npos)
        << c.request << ": " << answer;
  }
}

TEST(Server, APortInUseIsRefused) {
  running_server first(false);
  service sim(std::make_unique<simulated_reader>(
      load_scene(nlohmann::json::parse(demo_scene_json()), 0)));
  server second(sim, {"127.0.0.1", first.port, false, false});
  EXPECT_EQ(second.listen(), -1);
}

}  // namespace
}  // namespace tag_service
