#include "tests/integration/service_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/process_runner.h"

namespace korvo_test {

namespace {

std::vector<std::string> service_args(std::vector<std::string> extra_args) {
  std::vector<std::string> args = {
      TAG_SERVICE_BINARY, "--host", "127.0.0.1", "--port", "0", "--test-hooks"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  return args;
}

}  // namespace

service_process::service_process(std::vector<std::string> extra_args,
                                 const std::string& stderr_path)
    : process_(service_args(std::move(extra_args)),
               stderr_path.empty() ? "/dev/null" : stderr_path) {
  const std::string line = process_.read_line(10000);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    process_.stop(SIGTERM, 0);
    throw std::runtime_error("tag-service did not start: '" + line + "'");
  }
}

std::string service_process::url(const std::string& suffix) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/TagService" + suffix;
}

void service_process::freeze() { process_.send_signal(SIGSTOP); }
void service_process::thaw() { process_.send_signal(SIGCONT); }

nlohmann::json service_process::reply::json() const {
  return nlohmann::json::parse(body, nullptr, false);
}

service_process::reply service_process::request(
    const std::string& method, const std::string& path, const std::string& body,
    const std::string& content_type) {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(std::chrono::seconds(5));
  client.set_read_timeout(std::chrono::seconds(5));
  httplib::Request req;
  req.method = method;
  req.path = "/TagService" + path;
  req.body = body;
  if (method == "POST" || !body.empty()) {
    req.set_header("Content-Type", content_type);
  }
  httplib::Response res;
  httplib::Error error = httplib::Error::Success;
  reply r;
  if (client.send(req, res, error)) {
    r.status = res.status;
    r.body = res.body;
  }
  return r;
}

void service_process::inject(const nlohmann::json& injection) {
  const reply r = request("POST", "/test/inject", injection.dump());
  if (r.status != 200) {
    throw std::runtime_error("inject failed: " + r.body);
  }
}

nlohmann::json service_process::state() {
  return request("GET", "/test/state").json();
}

nlohmann::json service_process::items() {
  request("POST", "/reader/connect");
  return request("GET", "/items").json()["items"];
}

nlohmann::json service_process::find_tag(const std::string& id) {
  for (const auto& item : items()) {
    for (const auto& tag : item["tags"]) {
      if (tag["id"] == id) return tag;
    }
  }
  return nullptr;
}

int unused_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

command_result run_command(const std::vector<std::string>& args,
                           int timeout_ms) {
  process_plan plan;
  plan.args = args;
  plan.timeout_ms = timeout_ms;
  const process_result p = run_process(plan);
  return {p.code, p.out, p.err};
}

void expect_refused_at_start(const std::vector<std::string>& args,
                             const std::string& says,
                             const std::string& secret) {
  std::vector<std::string> all = {TAG_SERVICE_BINARY, "--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  const command_result r = run_command(all, 5000);
  EXPECT_EQ(r.code, 2) << says;
  EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
}

}  // namespace korvo_test
