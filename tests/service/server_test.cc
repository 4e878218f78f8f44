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
  explicit running_server(bool test_hooks,
                          std::vector<std::string> allowed_hosts = {})
      : sim(std::make_unique<simulated_reader>(
            load_scene(nlohmann::json::parse(demo_scene_json()), 0))),
        http(sim, {"127.0.0.1", 0, false, test_hooks, allowed_hosts}) {
    http.add_page("/", {"text/plain", [] { return one_part("hello"); },
                        "default-src 'self'"});
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
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u)
        << c.request << ": " << answer;
    EXPECT_NE(answer.find(c.body_part), std::string::npos)
        << c.request << ": " << answer;
  }
}

// A page of another site in the operator's browser must not drive the
// service: only requests that name our host, come from no other origin and
// say their body is JSON are served.
TEST(Server, CrossSiteRequestsAreRefused) {
  running_server s(false, {"Tags.Example"});
  const std::string own = "127.0.0.1:" + std::to_string(s.port);
  const std::string json = "Content-Type: application/json\r\n";
  const std::string create = "POST /TagService/tags HTTP/1.1\r\n";
  const std::string data = "{\"data\":\"1:serial=X\"}";
  const std::string body =
      "Content-Length: " + std::to_string(data.size()) + "\r\n\r\n" + data;
  const std::string ping = "GET /TagService/ping HTTP/1.1\r\n";
  struct {
    const char* what;
    std::string request;  // up to the headers' end or the body
    const char* status_line;
  } cases[] = {
      {"own host and port", ping + "Host: " + own + "\r\n\r\n", "HTTP/1.1 200"},
      {"localhost", ping + "Host: LocalHost:1\r\n\r\n", "HTTP/1.1 200"},
      {"IPv6 loopback", ping + "Host: [::1]:21645\r\n\r\n", "HTTP/1.1 200"},
      {"a name given", ping + "Host: tags.example\r\n\r\n", "HTTP/1.1 200"},
      {"a foreign name (DNS rebinding)",
       ping + "Host: evil.example:" + std::to_string(s.port) + "\r\n\r\n",
       "HTTP/1.1 421"},
      {"a name that ends like ours", ping + "Host: localhost.evil\r\n\r\n",
       "HTTP/1.1 421"},
      {"a malformed port", ping + "Host: 127.0.0.1:x\r\n\r\n", "HTTP/1.1 421"},
      {"another address", ping + "Host: 10.0.0.1\r\n\r\n", "HTTP/1.1 421"},
      {"JSON from our own page",
       create + "Host: " + own + "\r\nOrigin: http://" + own + "\r\n" +
           "Content-Type: Application/JSON; charset=utf-8\r\n" + body,
       "HTTP/1.1 201"},
      {"text from a page",
       create + "Host: " + own + "\r\n" + "Content-Type: text/plain\r\n" + body,
       "HTTP/1.1 415"},
      {"no type", create + "Host: " + own + "\r\n" + body, "HTTP/1.1 415"},
      {"a connect without a type",
       "POST /TagService/reader/connect HTTP/1.1\r\nHost: " + own +
           "\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 415"},
      {"another origin",
       create + "Host: " + own + "\r\n" + json +
           "Origin: http://evil.example\r\n" + body,
       "HTTP/1.1 403"},
      {"another port is another origin",
       create + "Host: " + own + "\r\n" + json +
           "Origin: http://127.0.0.1:1\r\n" + body,
       "HTTP/1.1 403"},
      {"an opaque origin",
       create + "Host: " + own + "\r\n" + json + "Origin: null\r\n" + body,
       "HTTP/1.1 403"},
      {"a cross-site fetch",
       "GET /TagService/items HTTP/1.1\r\nHost: " + own +
           "\r\nSec-Fetch-Site: cross-site\r\n\r\n",
       "HTTP/1.1 403"},
      {"a same-origin fetch",
       "GET / HTTP/1.1\r\nHost: " + own +
           "\r\nSec-Fetch-Site: same-origin\r\n\r\n",
       "HTTP/1.1 200"},
  };
  for (const auto& c : cases) {
    const std::string answer = korvo_test::raw_exchange(
        s.port, c.request.substr(0, c.request.find("\r\n") + 2) +
                    "Connection: close\r\n" +
                    c.request.substr(c.request.find("\r\n") + 2));
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u) << c.what << ": " << answer;
  }
  // Only our own page's request created a tag.
  EXPECT_EQ(nlohmann::json::parse(
                whole_text(s.sim.run("state", "")))["calls"]["create"],
            1);
}

// Every answer tells a browser not to sniff, cache or frame it; HEAD is
// answered wherever GET is, without a body.
TEST(Server, SecurityHeadersOnEveryAnswerAndHeadWhereverGet) {
  running_server s(true);
  const char* kApi = "default-src 'none'; frame-ancestors 'none'";
  struct {
    const char* request;
    const char* status_line;
    const char* policy;
  } cases[] = {
      {"GET /TagService/ping", "HTTP/1.1 200", kApi},
      {"HEAD /TagService/ping", "HTTP/1.1 200", kApi},
      {"HEAD /TagService/formats", "HTTP/1.1 200", kApi},
      {"HEAD /TagService/test/state", "HTTP/1.1 200", kApi},
      {"HEAD /", "HTTP/1.1 200", "default-src 'self'"},
      {"GET /nothing", "HTTP/1.1 404", kApi},
      {"HEAD /TagService/tags", "HTTP/1.1 405", kApi},
  };
  for (const auto& c : cases) {
    const std::string answer = korvo_test::raw_exchange(
        s.port,
        std::string(c.request) +
            " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u)
        << c.request << ": " << answer;
    for (const std::string& h :
         {std::string("X-Content-Type-Options: nosniff"),
          std::string("Cache-Control: no-store"),
          "Content-Security-Policy: " + std::string(c.policy)}) {
      EXPECT_NE(answer.find(h + "\r\n"), std::string::npos)
          << c.request << ": " << answer;
    }
    if (std::string_view(c.request).rfind("HEAD", 0) == 0) {
      EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "") << c.request;
    }
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
