#include "tag_service/server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include "protocol/tag_protocol.h"
#include "tag_service/log_line.h"

namespace tag_service {
namespace {

// Every route of the service: method, path under the base path, and the
// operation it runs.
struct route {
  const char* method;
  const char* path;
  const char* op;
  bool test_hook;
};
constexpr route kRoutes[] = {
    {"GET", tag_protocol::kPing, "ping", false},
    {"POST", tag_protocol::kConnect, "connect", false},
    {"POST", tag_protocol::kDisconnect, "disconnect", false},
    {"GET", tag_protocol::kFormats, "formats", false},
    {"GET", tag_protocol::kItems, "items", false},
    {"POST", tag_protocol::kCreateTag, "create", false},
    {"POST", tag_protocol::kWriteTag, "write", false},
    {"POST", tag_protocol::kSecurity, "security", false},
    {"POST", "/test/inject", "inject", true},
    {"DELETE", "/test/inject", "clear", true},
    {"GET", "/test/state", "state", true},
};

// When the request this thread serves was routed; the server serves each
// request on one thread, from routing to the log line.
thread_local std::optional<std::chrono::steady_clock::time_point> request_start;

}  // namespace

struct server::impl {
  simulator& sim;
  server_options options;
  httplib::Server http;
  std::atomic<bool> listening{false};
  int port = -1;

  impl(simulator& s, server_options o) : sim(s), options(std::move(o)) {}
  void attach();
};

server::server(simulator& sim, server_options options)
    : impl_(std::make_unique<impl>(sim, std::move(options))) {
  impl_->attach();
}

server::~server() = default;

void server::add_page(const std::string& path, page p) {
  impl_->http.Get(path, [p](const httplib::Request&, httplib::Response& res) {
    res.set_content(p.body(), p.content_type);
  });
}

int server::listen() {
  impl& m = *impl_;
  if (m.options.port == 0) {
    m.port = m.http.bind_to_any_port(m.options.host);
  } else if (m.http.bind_to_port(m.options.host, m.options.port)) {
    m.port = m.options.port;
  }
  return m.port;
}

void server::run() {
  if (impl_->port < 0) return;
  impl_->http.listen_after_bind();
}

void server::stop() {
  impl_->sim.shut_down();
  // stop() does nothing until the server runs; repeat until it is.
  for (int i = 0; i < 500 && !impl_->http.is_running() && impl_->port >= 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  impl_->http.stop();
}

void server::impl::attach() {
  using httplib::Request;
  using httplib::Response;
  const std::string base = tag_protocol::kBasePath;
  for (const route& r : kRoutes) {
    if (r.test_hook && !options.test_hooks) continue;
    auto handler = [this, op = r.op](const Request& req, Response& res) {
      const simulator::answer a = sim.run(op, req.body);
      res.status = a.status;
      res.set_content(a.body.dump(), "application/json");
    };
    const std::string method = r.method;
    if (method == "GET") {
      http.Get(base + r.path, handler);
    } else if (method == "POST") {
      http.Post(base + r.path, handler);
    } else {
      http.Delete(base + r.path, handler);
    }
  }

  http.set_payload_max_length(kMaxRequestBytes);
  // The length limit holds for bodies sent with a Content-Length only: the
  // server reads a chunked body whole, and inflates a compressed one, before
  // any limit applies. The protocol needs neither, so both are refused
  // before the body is read.
  http.set_pre_routing_handler([](const Request& req, Response& res) {
    request_start = std::chrono::steady_clock::now();
    if (req.has_header("Transfer-Encoding")) {
      res.status = 411;
      res.set_content(
          error_answer(411, "send the body with a Content-Length").body.dump(),
          "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Content-Encoding")) {
      res.status = 415;
      res.set_content(
          error_answer(415, "compressed bodies are not accepted").body.dump(),
          "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Without SO_REUSEPORT, which the server sets by default: a second
  // service on a port in use must fail, not share the port.
  http.set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_read_timeout(5, 0);
  http.set_write_timeout(5, 0);
  http.set_keep_alive_timeout(2);
  http.set_keep_alive_max_count(100);
  // Answers the server gives on its own (no such route, body too large, a
  // request it cannot parse) carry a JSON error as well.
  using handler_response = httplib::Server::HandlerResponse;
  http.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const Request& req, Response& res) {
        if (!res.body.empty()) return handler_response::Unhandled;
        std::string message;
        switch (res.status) {
          case 404:
            message = "no such resource: " + printable(req.method, 16) + " " +
                      printable(req.path);
            break;
          case 413:
            message = "the request is larger than " +
                      std::to_string(kMaxRequestBytes) + " bytes";
            break;
          default:
            message = "the request cannot be served (HTTP " +
                      std::to_string(res.status) + ")";
        }
        res.set_content(error_answer(res.status, message).body.dump(),
                        "application/json");
        return handler_response::Handled;
      }));
  http.set_exception_handler(
      [](const Request&, Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(error_answer(500, "the service failed").body.dump(),
                        "application/json");
      });
  if (options.log) {
    http.set_logger([](const Request& req, const Response& res) {
      // A request the server refused before routing it has no start time.
      std::string ms;
      if (request_start) {
        ms = std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - *request_start)
                .count());
        request_start.reset();
      }
      write_log_line({{"method", req.method},
                      {"path", req.path},
                      {"status", std::to_string(res.status)},
                      {"ms", ms},
                      {"client", req.remote_addr}});
    });
  }
}

}  // namespace tag_service
