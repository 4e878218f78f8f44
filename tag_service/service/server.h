// Serves the service's operations over HTTP under /TagService, with the
// test hooks under /TagService/test when they are switched on, and any
// pages added outside that path.
#ifndef KORVO_TAG_SERVICE_SERVICE_SERVER_H_
#define KORVO_TAG_SERVICE_SERVICE_SERVER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tag_service/service/access.h"
#include "tag_service/service/service.h"

namespace tag_service {

struct server_options {
  std::string host = "127.0.0.1";
  int port = 0;             // 0: a free port
  bool log = false;         // one line per request on standard error
  bool test_hooks = false;  // serve /TagService/test/*; else they are 404
  // Host names answered besides the listen address, localhost, 127.0.0.1
  // and [::1] (and, when listening on every address, any IP address);
  // requests naming any other host are refused (421), so that a name an
  // attacker points at this machine cannot reach the service.
  std::vector<std::string> allowed_hosts{};
  // HTTPS (TLS 1.2 or later) with this PEM certificate (chain) and key,
  // checked beforehand; plain HTTP when empty.
  std::string tls_cert_pem{};
  std::string tls_key_pem{};
  // When set, every request needs a token it knows (outlives the server);
  // GET and HEAD need a read token, other methods a write token.
  access_control* access = nullptr;
};

// A page served with GET (and HEAD) outside /TagService: its content type,
// a function that makes its body for each request, and its content
// security policy (empty: the page may load and run nothing).
struct page {
  std::string content_type;
  std::function<body_parts()> body;
  std::string policy{};
};

class server {
 public:
  server(service& sim, server_options options);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Serves page at path (such as "/") with GET and HEAD; call before
  // listen().
  void add_page(const std::string& path, page p);

  // Binds the address and port; returns the port, or -1 when it cannot be
  // had (a port in use is never shared).
  int listen();
  // Serves requests until stop(); returns at once when listen() failed.
  void run();
  // Ends run() from any thread, also before run() began.
  void stop();

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_SERVER_H_
