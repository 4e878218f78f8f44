// The tag service over HTTPS with tokens, korvo through our session library
// against it, and the service's refusals to start exposed. Certificates are
// made with openssl (test_certificates.h): a CA, a server certificate for
// "localhost" signed by it, and another CA nobody trusts.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/tag_protocol.h"
#include "tests/e2e/harness.h"
#include "tests/integration/service_process.h"
#include "tests/integration/test_certificates.h"

namespace korvo_test {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr char kDemoTag[] = "E28011700000020A1B2C3D01";
constexpr char kReadToken[] = "read-Zm9vYmFyYmF6cXV4cXV1eA";
constexpr char kWriteToken[] = "write-c2VjcmV0LXRva2VuLTAwMQ";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text,
                mode_t mode = 0600) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

class Https : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(make_temp_dir());
    ASSERT_EQ(make_test_certificates(*dir_, "DNS:localhost"), "");
    write_file(path("tokens"), std::string("# test tokens\nreader read ") +
                                   kReadToken + "\nwriter write " +
                                   kWriteToken + "\n");
    write_file(path("read.token"), std::string(kReadToken) + "\n");
    write_file(path("write.token"), std::string(kWriteToken) + "\n");
    write_file(path("wrong.token"), "wrong-token-0123456789\n");
    write_file(path("read.header"),
               std::string("Authorization: Bearer ") + kReadToken + "\n");
    write_file(path("write.header"),
               std::string("Authorization: Bearer ") + kWriteToken + "\n");
  }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }
  static std::string path(const std::string& name) {
    return *dir_ + "/" + name;
  }
  static std::vector<std::string> tls_args() {
    return {"--tls-cert",       path("server.pem"), "--tls-key",
            path("server.key"), "--tokens",         path("tokens")};
  }

  // korvo with our library at url, trusting ca, with the token file (none
  // when empty) and an empty home (no ~/.netrc).
  static korvo_result korvo_at(const std::string& url,
                               std::vector<std::string> args,
                               const std::string& token_file,
                               const std::string& ca = path("ca.pem")) {
    korvo_run run;
    run.args = std::move(args);
    run.args.push_back("addr");
    run.args.push_back(url);
    run.library = RFID_QEL_LIBRARY;
    run.env = {{"KORVO_CA_FILE", ca}, {"HOME", *dir_}};
    run.env.push_back(
        {"KORVO_TOKEN_FILE", token_file.empty() ? "" : path(token_file)});
    run.timeout_ms = 20000;
    return run_korvo(run);
  }
  // The HTTP status of METHOD url with curl, trusting ca.pem, with the
  // headers in the named file ("" for none); "000" when there is none.
  static std::string curl_status(const std::string& method,
                                 const std::string& url,
                                 const std::string& header_file,
                                 const std::string& body = "") {
    std::vector<std::string> args = {
        "curl", "-sS",          "-o",         "/dev/null",
        "-w",   "%{http_code}", "--cacert",   path("ca.pem"),
        "-X",   method,         "--max-time", "10"};
    if (!header_file.empty()) {
      args.push_back("-H");
      args.push_back("@" + path(header_file));
    }
    if (method == "POST") {
      args.insert(args.end(), {"-H", "Content-Type: application/json",
                               "--data-binary", body});
    }
    args.push_back(url);
    return run_command(args, 15000).out;
  }
  static std::string https_url(const service_process& svc,
                               const char* host = "localhost") {
    return std::string("https://") + host + ":" + std::to_string(svc.port()) +
           "/TagService";
  }

  static std::string* dir_;
};
std::string* Https::dir_ = nullptr;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(Https, KorvoWorksUnchangedWithAWriteToken) {
  const std::string log = path("ok.log");
  std::vector<std::string> args = tls_args();
  args.push_back("--log");
  service_process svc(args, log);
  const std::string url = https_url(svc);
  struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"formats", "print"}, "Elapsed (read): "},
      {{"write", "1:serial=SN-1;owner=Ann;status=M"}, "' written.\n"},
      {{"set", kDemoTag}, "security set.\n"},
      {{"clr", kDemoTag}, "security cleared.\n"},
  };
  for (const auto& c : cases) {
    const korvo_result r = korvo_at(url, c.args, "write.token");
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.line)) << r.out << r.err;
  }
  // A read token reads and changes nothing; a write token does both.
  struct {
    const char* method;
    const char* path;
    const char* header;
    const char* status;
  } requests[] = {
      {"GET", tag_protocol::kFormats, "read.header", "200"},
      {"GET", tag_protocol::kItems, "read.header", "200"},
      {"POST", tag_protocol::kConnect, "read.header", "403"},
      {"POST", tag_protocol::kWriteTag, "read.header", "403"},
      {"POST", tag_protocol::kSecurity, "read.header", "403"},
      {"POST", tag_protocol::kConnect, "write.header", "200"},
      {"GET", tag_protocol::kFormats, "", "401"},
  };
  for (const auto& q : requests) {
    EXPECT_EQ(curl_status(q.method, url + q.path, q.header, "{}"), q.status)
        << q.method << " " << q.path << " " << q.header;
  }
  // The log names the tokens, never shows them.
  svc.stop();
  const std::string text = read_file(log);
  EXPECT_TRUE(has(text, "token=writer")) << text;
  EXPECT_TRUE(has(text, "token=reader")) << text;
  EXPECT_FALSE(has(text, kWriteToken) || has(text, kReadToken)) << text;
}

TEST_F(Https, RefusedTokensAndCertificatesSayWhy) {
  service_process svc(tls_args());
  const std::string url = https_url(svc);
  struct {
    std::string url;
    std::vector<std::string> args;
    const char* token;
    std::string ca;
    std::vector<const char*> says;
  } cases[] = {
      // A read token may not even connect the reader.
      {url,
       {"write", "1:serial=SN-2"},
       "read.token",
       path("ca.pem"),
       {"the service refused the token from the token file",
        "(403: ", url.c_str()}},
      {url,
       {"print"},
       "wrong.token",
       path("ca.pem"),
       {"the service refused the token", "(401: ", url.c_str()}},
      {url, {"print"}, "", path("ca.pem"), {"needs a token (401", "~/.netrc"}},
      {url,
       {"print"},
       "write.token",
       path("other.pem"),
       {"did not prove who it is", url.c_str()}},
      {https_url(svc, "127.0.0.1"),
       {"print"},
       "write.token",
       path("ca.pem"),
       {"did not prove who it is", "127.0.0.1"}},
  };
  for (const auto& c : cases) {
    const korvo_result r = korvo_at(c.url, c.args, c.token, c.ca);
    EXPECT_NE(r.code, 0) << r.out;
    for (const char* part : c.says) {
      EXPECT_TRUE(has(r.out + r.err, part))
          << c.token << " " << c.ca << ": " << part << "\n"
          << r.out << r.err;
    }
    EXPECT_FALSE(has(r.out + r.err, kWriteToken)) << r.out << r.err;
  }
}

TEST_F(Https, LiveViewTakesTheTokenAsABasicPassword) {
  service_process svc(tls_args());
  const std::string page =
      "https://localhost:" + std::to_string(svc.port()) + "/";
  struct {
    std::vector<std::string> credentials;
    const char* status;
    const char* says;
  } cases[] = {
      {{"-u", std::string("anyone:") + kReadToken}, "200", "live field"},
      {{}, "401", "WWW-Authenticate: Basic realm=\"tag-service\""},
      {{"-u", "anyone:wrong-token-0123456789"}, "401", "Basic realm"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {
        "curl", "-sS", "-i", "--cacert", path("ca.pem"), "--max-time", "10"};
    args.insert(args.end(), c.credentials.begin(), c.credentials.end());
    args.push_back(page);
    const command_result r = run_command(args, 15000);
    EXPECT_TRUE(has(r.out, std::string("HTTP/1.1 ") + c.status))
        << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.says)) << r.out;
  }
}

TEST_F(Https, ARevokedTokenIsRefusedAfterSighup) {
  const std::string tokens = path("revocable");
  write_file(tokens, std::string("writer write ") + kWriteToken + "\n");
  const std::string log = path("hup.log");
  service_process svc({"--tls-cert", path("server.pem"), "--tls-key",
                       path("server.key"), "--tokens", tokens},
                      log);
  const std::string url = https_url(svc);
  EXPECT_EQ(korvo_at(url, {"print"}, "write.token").code, 0);
  write_file(tokens, std::string("reader read ") + kReadToken + "\n");
  svc.hang_up();
  const auto deadline = clock_type::now() + std::chrono::seconds(5);
  while (!has(read_file(log), "re-read") && clock_type::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(has(read_file(log), "re-read " + tokens + ": 1 tokens"))
      << read_file(log);
  const korvo_result r = korvo_at(url, {"print"}, "write.token");
  EXPECT_TRUE(has(r.out + r.err, "(401: ")) << r.out << r.err;
  EXPECT_EQ(curl_status("GET", url + tag_protocol::kItems, "read.header"),
            "200");
}

TEST_F(Https, StalledHandshakesDoNotHoldUpOthers) {
  service_process svc(tls_args());
  const std::string url = https_url(svc);
  // Clients that open a connection and then send nothing, or drip the
  // first bytes of a TLS record one by one.
  std::vector<int> stalled;
  for (int i = 0; i < 40; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(svc.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    stalled.push_back(fd);
  }
  const unsigned char hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
  const auto t0 = clock_type::now();
  std::thread drip([&] {
    for (unsigned char byte : hello) {
      for (int fd : stalled) {
        if (fd % 2 == 0) ::send(fd, &byte, 1, MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
  });
  const korvo_result r = korvo_at(url, {"formats", "print"}, "write.token");
  const double seconds =
      std::chrono::duration<double>(clock_type::now() - t0).count();
  drip.join();
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_LT(seconds, 2.0);
  RecordProperty("korvo_ms", static_cast<int>(seconds * 1000));
  // The service closes every stalled connection on its own, within the
  // time a request has (5 s) and the watchdog's round.
  for (int fd : stalled) {
    timeval wait{8, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // At most a TLS alert comes before the end.
    char bytes[256];
    ssize_t n = 0;
    while ((n = ::recv(fd, bytes, sizeof bytes, 0)) > 0) {
    }
    EXPECT_TRUE(n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        << "a stalled connection is still open";
    ::close(fd);
  }
  EXPECT_LT(std::chrono::duration<double>(clock_type::now() - t0).count(), 7.5);
}

TEST_F(Https, TheServiceRefusesToStartUnsafely) {
  write_file(path("open.key"), read_file(path("server.key")), 0644);
  write_file(path("open.tokens"), read_file(path("tokens")), 0644);
  write_file(path("bad.tokens"), "writer admin 0123456789abcdef\n");
  const std::string cert = path("server.pem");
  const std::string key = path("server.key");
  struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--host", "0.0.0.0"}, "not a loopback address"},
      {{"--host", "0.0.0.0", "--tokens", path("tokens")},
       "not a loopback address"},
      {{"--host", "::", "--tls-cert", cert, "--tls-key", key},
       "not a loopback address"},
      {{"--tls-cert", cert}, "--tls-cert and --tls-key go together"},
      {{"--tls-cert", path("missing.pem"), "--tls-key", key},
       "cannot read the certificate"},
      {{"--tls-cert", cert, "--tls-key", path("other.key")},
       "does not belong to the certificate"},
      {{"--tls-cert", cert, "--tls-key", path("open.key")}, "open to others"},
      {{"--tls-cert", key, "--tls-key", key}, "holds no PEM certificate"},
      {{"--tls-cert", path("expired.pem"), "--tls-key", key}, "has expired"},
      {{"--tokens", path("open.tokens")}, "open to others"},
      {{"--tokens", path("bad.tokens")},
       "line 1: the right (the second word) is read or write"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {TAG_SERVICE_BINARY, "--port", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const command_result r = run_command(args, 10000);
    EXPECT_EQ(r.code, 2) << c.says << ": " << r.err;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

}  // namespace
}  // namespace korvo_test
