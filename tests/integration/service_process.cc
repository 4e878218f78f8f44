#include "tests/integration/service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/process_runner.h"

namespace korvo_test {

service_process::service_process(std::vector<std::string> extra_args,
                                 const std::string& stderr_path) {
  std::vector<std::string> args = {
      TAG_SERVICE_BINARY, "--host", "127.0.0.1", "--port", "0", "--test-hooks"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test that crashes leaves no simulator behind.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(out[1], 1);
    const int err =
        stderr_path.empty()
            ? ::open("/dev/null", O_WRONLY)
            : ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(err, 2);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p = {out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[64];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    stop(0);
    throw std::runtime_error("tag-service did not start: '" + line + "'");
  }
}

service_process::~service_process() { stop(); }

std::string service_process::url(const std::string& suffix) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/TagService" + suffix;
}

void service_process::freeze() { ::kill(pid_, SIGSTOP); }
void service_process::thaw() { ::kill(pid_, SIGCONT); }

bool service_process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

int service_process::stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
  if (!body.empty()) {
    req.body = body;
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

}  // namespace korvo_test
