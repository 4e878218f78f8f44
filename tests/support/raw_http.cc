#include "tests/support/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace korvo_test {
namespace {

// True once text holds a whole response: complete by its Content-Length,
// at the last chunk of a chunked body, or at the end of its headers
// without either.
bool complete_response(const std::string& text) {
  const auto end = text.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  const auto chunked = text.find("Transfer-Encoding: chunked");
  if (chunked != std::string::npos && chunked < end) {
    return text.size() >= end + 9 &&
           (text.compare(end + 4, 5, "0\r\n\r\n") == 0 ||
            text.find("\r\n0\r\n\r\n", end + 4) != std::string::npos);
  }
  const auto length = text.find("Content-Length: ");
  if (length == std::string::npos || length > end) return true;
  return text.size() >= end + 4 + std::stoul(text.substr(length + 16));
}

}  // namespace

std::string raw_exchange(int port, const std::string& bytes, int timeout_ms) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string answer;
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n =
          ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline &&
           !complete_response(answer)) {
      pollfd p = {s, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::recv(s, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(s);
  return answer;
}

}  // namespace korvo_test
