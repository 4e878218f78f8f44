#include "tests/hostile/hostile_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

namespace korvo_test {
namespace {

using clock_type = std::chrono::steady_clock;

// No endless answer lasts longer than this.
constexpr auto kLongest = std::chrono::seconds(8);

// Sends all of text; false once the client is gone.
bool send_all(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n =
        ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string json_answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Reads one request's head and body (by its Content-Length); false when the
// client closed or sent nothing in time.
bool read_request(int fd, std::string& head) {
  std::string in;
  const auto end = clock_type::now() + kLongest;
  std::size_t body = 0;
  std::size_t head_end = std::string::npos;
  while (clock_type::now() < end) {
    if (head_end == std::string::npos) {
      head_end = in.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        head = in.substr(0, head_end);
        const auto cl = head.find("Content-Length: ");
        if (cl != std::string::npos) body = std::stoul(head.substr(cl + 16));
      }
    }
    if (head_end != std::string::npos && in.size() >= head_end + 4 + body) {
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || in.size() > 1 << 20) return false;
    in.append(buffer, static_cast<std::size_t>(n));
  }
  return false;
}

// Sends piece again and again until the client leaves or time is up.
void send_forever(int fd, const std::string& piece) {
  const auto end = clock_type::now() + kLongest;
  while (clock_type::now() < end && send_all(fd, piece)) {
  }
}

std::string repeated(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The answers of megabytes, made once before the service takes requests,
// so that a run's time is the client's.
struct large_answers {
  // JSON nested millions of levels deep.
  std::string deep_reading = json_answer(R"({"items": [{"id": "I", "x": )" +
                                         std::string(8 << 20, '['));
  std::string deep_formats =
      json_answer(R"({"formats": [{"fields": )" + std::string(8 << 20, '['));
  // Objects of a few bytes each, so that millions fit within 16 MiB.
  std::string many_items =
      json_answer(R"({"items": [)" + repeated(R"({"id":"1"},)", 1400000) +
                  R"({"id":"1"}]})");
  std::string many_formats =
      json_answer(R"({"formats": [)" + repeated("{},", 5000000) + "{}]}");
  // One text of 15 MiB, then a member of the wrong type.
  std::string text_reading =
      json_answer(R"({"items": [{"id": ")" + std::string(15 << 20, 'x') +
                  R"(", "valid": "no"}]})");
  std::string text_formats =
      json_answer(R"({"formats": [{"description": ")" +
                  std::string(15 << 20, 'x') + R"(", "enabled": "no"}]})");
};

const large_answers& large() {
  static const large_answers answers;
  return answers;
}

// The hostile answer of case `which` to a request for `route`; false when
// the connection must end after it.
bool attack(int fd, const std::string& which, const std::string& route) {
  const bool items = route == "/items";
  if (which == "status") {
    send_all(fd, "HTTP/1.1 200 " + std::string(30000, 'A') +
                     "\r\nContent-Length: 2\r\n\r\n{}");
    return false;
  }
  if (which == "headers") {
    send_all(fd, "HTTP/1.1 200 OK\r\n");
    send_forever(fd, "X-Filler: " + std::string(100, 'h') + "\r\n");
    return false;
  }
  if (which == "deep" || which == "many" || which == "text") {
    const large_answers& a = large();
    if (which == "deep")
      return send_all(fd, items ? a.deep_reading : a.deep_formats);
    if (which == "many")
      return send_all(fd, items ? a.many_items : a.many_formats);
    return send_all(fd, items ? a.text_reading : a.text_formats);
  }
  if (which == "drip") {
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    const auto end = clock_type::now() + kLongest;
    while (clock_type::now() < end && send_all(fd, " ")) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
  }
  if (which == "reset") {
    send_all(fd,
             "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"items\": [");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const linger hard{1, 0};  // closing now sends a reset
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return false;
  }
  if (which == "chunkext") {
    send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;x=");
    send_forever(fd, std::string(4096, 'e'));
    return false;
  }
  send_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  return false;
}

// Serves one connection: requests one after the other, as long as the
// client keeps the connection and the answers let it.
void serve(int fd) {
  std::string head;
  while (read_request(fd, head)) {
    // "GET /<case>/TagService/<route> HTTP/1.1"
    const auto start = head.find(' ') + 2;
    const auto slash = head.find('/', start);
    const auto space = head.find(' ', start);
    const std::string which = head.substr(start, slash - start);
    const auto route_at = slash + std::string("/TagService").size();
    const std::string route =
        route_at < space ? head.substr(route_at, space - route_at) : "";
    bool keep = true;
    if (route == "/ping") {
      keep = send_all(fd,
                      json_answer(R"({"service":"tag-service","protocol":1})"));
    } else if (route == "/reader/connect" || route == "/reader/disconnect") {
      keep = send_all(fd, json_answer("{}"));
    } else {
      keep = attack(fd, which, route);
    }
    if (!keep) break;
  }
  ::close(fd);
}

[[noreturn]] void serve_forever(int listener) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) std::thread([fd] { serve(fd); }).detach();
  }
}

}  // namespace

hostile_service::hostile_service() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    if (listener >= 0) ::close(listener);
    throw std::runtime_error("the hostile service cannot listen");
  }
  port_ = ntohs(a.sin_port);
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    ::close(listener);
    throw std::runtime_error("the hostile service cannot start");
  }
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::alarm(120);
    large();
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    serve_forever(listener);
  }
  ::close(listener);
  ::close(ready[1]);
  char byte = 0;
  pollfd p{ready[0], POLLIN, 0};
  const bool started =
      pid_ > 0 && ::poll(&p, 1, 60000) == 1 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!started) {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    throw std::runtime_error("the hostile service cannot start");
  }
}

hostile_service::~hostile_service() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string hostile_service::url(const std::string& which) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + which +
         "/TagService";
}

}  // namespace korvo_test
