// The tag-service executable: command line, shutdown, and requests that do
// not keep the protocol, sent to it directly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/integration/service_process.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

bool has(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

TEST(TagServiceCommandLine, HelpBadOptionsAndBadFieldFiles) {
  const std::string bad_json = std::string(::testing::TempDir()) + "/bad.json";
  std::FILE* f = std::fopen(bad_json.c_str(), "w");
  std::fputs("{\"items\": [{\"id\": \"I\", \"type\": 12}]}", f);
  std::fclose(f);
  // Files of the real reader: a FIFO must not hang start-up.
  const std::string fifo = std::string(::testing::TempDir()) + "/fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string password = std::string(::testing::TempDir()) + "/password";
  f = std::fopen(password.c_str(), "w");
  std::fputs("1234ABCD\n", f);
  std::fclose(f);
  const std::string reader = "llrp://127.0.0.1:1";
  struct {
    std::vector<std::string> args;
    int code;
    const char* out;
    const char* err;
  } cases[] = {
      {{"--help"}, 0, "--port N", ""},
      {{"--version"}, 0, "tag-service " KORVO_VERSION "\n", ""},
      {{"--version=1"}, 2, "", "--version takes no value"},
      {{"--bogus"}, 2, "", "unknown option --bogus"},
      {{"--port"}, 2, "", "--port needs a value"},
      {{"--port", "70000"}, 2, "", "from 0 to 65535"},
      {{"--port=x"}, 2, "", "from 0 to 65535"},
      {{"--log=1"}, 2, "", "--log takes no value"},
      {{"--field", "/nonexistent/field.json"}, 2, "", "cannot read"},
      {{"--field", bad_json}, 2, "", "items[0].type must be from 0 to 9"},
      {{"--print-demo-field"}, 0, "\"Cold-chain pallet\"", ""},
      {{"--reader", reader, "--access-password-file", fifo},
       2,
       "",
       "is not a regular file"},
      {{"--reader", reader, "--access-password-file", password, "--state-file",
        fifo},
       2,
       "",
       "is not a regular file"},
      {{"--reader", reader, "--access-password-file", password, "--state-file",
        "/nonexistent/state.json"},
       2,
       "",
       "the state file /nonexistent/state.json cannot be written"},
      {{"--allow-host"}, 2, "", "--allow-host needs a value"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {TAG_SERVICE_BINARY};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const command_result r = run_command(args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << r.err;
    EXPECT_TRUE(has(r.out, c.out)) << c.args[0] << ": " << r.out;
    EXPECT_TRUE(has(r.err, c.err)) << c.args[0] << ": " << r.err;
  }
}

TEST(TagServiceCommandLine, BusyPortIsAnError) {
  service_process first;
  const command_result r =
      run_command({TAG_SERVICE_BINARY, "--port", std::to_string(first.port())});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.err, "cannot listen on 127.0.0.1 port")) << r.err;
}

TEST(TagServiceProcess, StopsPromptlyEvenWithARequestWaiting) {
  service_process svc;
  svc.inject({{"operation", "ping"}, {"delay_ms", 60000}});
  std::thread waiting([&] { svc.request("GET", "/ping"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(svc.stop(5000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
  waiting.join();
}

// systemctl reload sends SIGHUP, which re-reads tokens; without a tokens
// file it must not end the service as the signal's default would.
TEST(TagServiceProcess, SighupWithoutTokensKeepsServing) {
  service_process svc;
  svc.hang_up();
  EXPECT_EQ(svc.request("GET", "/ping").status, 200);
  EXPECT_EQ(svc.stop(), 0);
}

TEST(TagServiceProcess, MalformedRequestsGetJsonErrorsAndNoHarm) {
  service_process svc;
  struct {
    const char* method;
    std::string path;
    std::string body;
    int status;
    const char* message;
  } cases[] = {
      {"GET", "/nothing", "", 404, "no such resource: GET /TagService/nothing"},
      {"GET", "/tags/write", "", 405, "GET is not served here; use POST"},
      {"DELETE", "/items", "", 405, "use GET"},
      {"GET", "/%FF%00", "", 404, "no such resource"},
      {"POST", "/tags", "{\"data\":", 400, "not valid JSON"},
      {"POST", "/tags", "\"1:\"", 400, "must be a JSON object"},
      {"POST", "/tags", "{\"data\":[]}", 400, "needs 'data' as a text"},
      {"POST", "/tags/security", "{\"id\":\"x\",\"secure\":\"yes\"}", 400,
       "'secure'"},
      {"POST", "/tags", "{\"data\":\"" + std::string(70000, 'x') + "\"}", 413,
       "larger than 65536 bytes"},
      {"POST", "/tags", std::string(30000, '[') + std::string(30000, ']'), 400,
       "must be a JSON object"},
      {"POST", "/test/inject", "{\"operation\":\"*\",\"delay_ms\":-5}", 400,
       "'delay_ms'"},
  };
  for (const auto& c : cases) {
    const auto r = svc.request(c.method, c.path, c.body);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
    const json j = r.json();
    ASSERT_TRUE(j.is_object()) << r.body;
    EXPECT_EQ(j["error"]["status"], c.status);
    EXPECT_TRUE(has(j["error"]["message"].get<std::string>(), c.message))
        << r.body;
  }
  // Bytes that are no HTTP at all, oversized lines and bodies (a chunked or
  // compressed body could grow past any limit), connections that send
  // nothing: each is turned away or times out on its own.
  struct {
    std::string bytes;
    const char* answer;  // how the answer starts; "" for any 4xx or none
  } raw[] = {
      {std::string("\x00\x01\x02 garbage\r\n\r\n", 15), ""},
      {"GET /TagService/ping HTTP/1.1\r\nX: " + std::string(20000, 'a') +
           "\r\n\r\n",
       ""},
      {"GET " + std::string(10000, '/') + " HTTP/1.1\r\n\r\n", ""},
      // Drained without being kept; the answer comes once it is all sent.
      {"POST /TagService/tags HTTP/1.1\r\nContent-Length: 99999999999\r\n"
       "\r\n{",
       ""},
      {"POST /TagService/tags HTTP/1.1\r\nContent-Length: 5\r\n\r\n{", ""},
      {"POST /TagService/tags HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Content-Type: application/json\r\n"
       "Transfer-Encoding: chunked\r\n\r\n"
       "2\r\n{}\r\n0\r\n\r\n",
       "HTTP/1.1 411"},
      {"POST /TagService/tags HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Content-Type: application/json\r\nContent-Encoding: gzip\r\n"
       "Content-Length: 3\r\n\r\nabc",
       "HTTP/1.1 415"},
  };
  for (const auto& r : raw) {
    const std::string answer =
        raw_exchange(svc.port(), r.bytes, *r.answer != 0 ? 3000 : 300);
    if (*r.answer != 0) {
      EXPECT_EQ(answer.rfind(r.answer, 0), 0u)
          << r.answer << ": " << answer.substr(0, 80);
    } else {
      EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 4", 0) == 0)
          << answer.substr(0, 80);
    }
  }
  for (int i = 0; i < 3; ++i) {
    std::thread([port = svc.port()] { raw_exchange(port, "", 100); }).detach();
  }
  EXPECT_EQ(svc.request("GET", "/ping").status, 200);
  EXPECT_TRUE(svc.running());
  EXPECT_EQ(svc.state()["calls"]["create"], 4);
}

}  // namespace
}  // namespace korvo_test
