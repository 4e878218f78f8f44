#include "tag_service/service/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "protocol/tag_protocol.h"
#include "tag_service/service/log_line.h"

namespace tag_service {
namespace {

using std::chrono::steady_clock;

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

// What one request may take: the whole request (line, headers and body)
// must arrive within kRequestSeconds of the connection opening or of the
// previous answer on it, however slowly it drips in; a connection that
// sends nothing is closed after kIdleSeconds. The request line and the
// headers share kConnectionMemory bytes, which bounds both their size and
// their number.
constexpr int kRequestSeconds = 5;
constexpr unsigned kIdleSeconds = 5;
constexpr std::size_t kConnectionMemory = 32 * 1024;
constexpr unsigned kMaxConnections = 2000;
constexpr unsigned kMaxConnectionsPerClient = 1500;
constexpr int kListenBacklog = 4096;  // the kernel caps it at somaxconn
constexpr std::size_t kThreadStack = 1024 * 1024;
// How much of a body in parts is handed to the socket at a time.
constexpr std::size_t kResponseBlock = 64 * 1024;

// One request in progress: where it goes and the body so far.
struct request_state {
  const route* r = nullptr;
  std::string body;
  steady_clock::time_point began;  // when its headers were in
};

// A connection the watchdog keeps an eye on: its socket, and by when the
// request now on its way must be complete (none while it is served).
struct watched {
  int fd = -1;
  steady_clock::time_point deadline = steady_clock::time_point::max();
  std::string token_name;  // of the request now on it, for the log
};

std::string_view header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v == nullptr ? std::string_view() : std::string_view(v);
}

// What an answer's body is made of: a text sent whole (with its length),
// or parts sent as the client takes them (chunked).
struct response_body {
  std::string text;
  body_parts parts;
  response_body(std::string t) : text(std::move(t)) {}  // NOLINT: implicit
  response_body(body_parts p) : parts(std::move(p)) {}  // NOLINT: implicit
};

// A response holding body: the text copied, or the parts taken one by one
// while the connection's thread sends them. Null when out of memory.
MHD_Response* make_response(response_body body) {
  if (!body.parts) {
    return MHD_create_response_from_buffer(body.text.size(), body.text.data(),
                                           MHD_RESPMEM_MUST_COPY);
  }
  // The parts and the rest of the part being sent.
  struct stream {
    body_parts parts;
    std::string_view rest;
  };
  auto* s = new stream{std::move(body.parts), {}};
  auto read = [](void* cls, std::uint64_t, char* buf,
                 std::size_t max) -> ssize_t {
    auto* s = static_cast<stream*>(cls);
    try {
      while (s->rest.empty()) {
        s->rest = s->parts();
        if (s->rest.empty()) return MHD_CONTENT_READER_END_OF_STREAM;
      }
    } catch (...) {
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const std::size_t n = std::min(max, s->rest.size());
    std::memcpy(buf, s->rest.data(), n);
    s->rest.remove_prefix(n);
    return static_cast<ssize_t>(n);
  };
  auto done = [](void* cls) { delete static_cast<stream*>(cls); };
  MHD_Response* res = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, kResponseBlock, +read, s, +done);
  if (res == nullptr) delete s;
  return res;
}

// The client's address as text ("" when the server does not say).
std::string client_address(MHD_Connection* c) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr* a = info->client_addr;
  if (a->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr,
                text, sizeof text);
  } else if (a->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                text, sizeof text);
  }
  return text;
}

// What every answer carries so that a browser cannot misuse it: no guessing
// of another content type, no cached copy of a reading, no framing by
// another site's page. A page without a policy of its own may load and run
// nothing.
constexpr char kDefaultPolicy[] = "default-src 'none'; frame-ancestors 'none'";

void add_security_headers(MHD_Response* res, const char* policy) {
  MHD_add_response_header(res, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(res, "Cache-Control", "no-store");
  MHD_add_response_header(
      res, "Content-Security-Policy",
      policy != nullptr && *policy != 0 ? policy : kDefaultPolicy);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return out;
}

// The host name of a Host header's value, in lower case and without the
// brackets of an IPv6 address or the port ("[::1]:8080" is "::1"); empty
// when the value is malformed.
std::string host_name(std::string_view value) {
  std::string_view name = value;
  std::string_view rest;
  if (!value.empty() && value.front() == '[') {
    const auto close = value.find(']');
    if (close == std::string_view::npos) return "";
    name = value.substr(1, close - 1);
    rest = value.substr(close + 1);
  } else if (const auto colon = value.find(':');
             colon != std::string_view::npos) {
    name = value.substr(0, colon);
    rest = value.substr(colon);
  }
  if (!rest.empty()) {
    const std::string_view port = rest.substr(1);
    if (rest.front() != ':' || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos) {
      return "";
    }
  }
  return lower(name);
}

bool is_ip_address(const std::string& name) {
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// The media type of a Content-Type value, in lower case, without
// parameters ("Application/JSON; charset=utf-8" is "application/json").
std::string media_type(std::string_view value) {
  value = value.substr(0, value.find(';'));
  const auto first = value.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  const auto last = value.find_last_not_of(" \t");
  return lower(value.substr(first, last - first + 1));
}

}  // namespace

struct server::impl {
  service& sim;
  server_options options;
  std::map<std::string, page> pages;
  int listen_fd = -1;
  MHD_Daemon* daemon = nullptr;

  std::mutex mutex;  // guards what follows
  std::condition_variable wake;
  bool stopping = false;
  std::set<watched*> connections;

  impl(service& s, server_options o) : sim(s), options(std::move(o)) {}

  // began: when the request's headers were in, for the log line's ms.
  MHD_Result answer(MHD_Connection* c, steady_clock::time_point began,
                    const char* method, const char* url, int status,
                    response_body body, const char* content_type,
                    const char* allow = nullptr, const char* policy = nullptr,
                    const char* challenge = nullptr);
  MHD_Result error(MHD_Connection* c, steady_clock::time_point began,
                   const char* method, const char* url, int status,
                   const std::string& message, const char* allow = nullptr,
                   const char* challenge = nullptr) {
    return answer(c, began, method, url, status,
                  error_answer(status, message).body, "application/json", allow,
                  nullptr, challenge);
  }
  // Why a request is refused before anything else looks at it, or status
  // 0. A browser's page of another site must not drive the service: a
  // request must name one of our host names (else 421) and must not come
  // from another origin's page (403).
  struct refusal {
    int status = 0;
    std::string message;
  };
  refusal refuse(MHD_Connection* c) const;
  std::optional<MHD_Result> authorize(MHD_Connection* c,
                                      steady_clock::time_point began,
                                      const char* method, const char* url);
  watched* connection_of(MHD_Connection* c);
  MHD_Result handle(MHD_Connection* c, const char* url, const char* method,
                    const char* upload, std::size_t* upload_size,
                    void** context);
  void set_deadline(MHD_Connection* c, steady_clock::time_point t);
  void watchdog();
};

MHD_Result server::impl::answer(MHD_Connection* c,
                                steady_clock::time_point began,
                                const char* method, const char* url, int status,
                                response_body body, const char* content_type,
                                const char* allow, const char* policy,
                                const char* challenge) {
  // The server would end a chunked answer to HEAD with a last chunk, which
  // HEAD must not have: HEAD gets the whole text's length instead.
  if (body.parts && std::string_view(method) == "HEAD") {
    body = response_body(whole_text(body.parts));
  }
  MHD_Response* res = make_response(std::move(body));
  if (res == nullptr) return MHD_NO;
  MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  add_security_headers(res, policy);
  if (allow != nullptr) MHD_add_response_header(res, "Allow", allow);
  if (challenge != nullptr) {
    MHD_add_response_header(res, MHD_HTTP_HEADER_WWW_AUTHENTICATE, challenge);
  }
  const MHD_Result queued =
      MHD_queue_response(c, static_cast<unsigned>(status), res);
  MHD_destroy_response(res);
  if (options.log) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        steady_clock::now() - began)
                        .count();
    std::string token;
    if (watched* w = connection_of(c); w != nullptr) {
      std::lock_guard<std::mutex> lock(mutex);
      token = w->token_name;
    }
    if (options.access == nullptr) {
      write_log_line({{"method", method},
                      {"path", url},
                      {"status", std::to_string(status)},
                      {"ms", std::to_string(ms)},
                      {"client", client_address(c)}});
    } else {
      // The token's name, never the token; "-" for a request without one.
      write_log_line({{"method", method},
                      {"path", url},
                      {"status", std::to_string(status)},
                      {"ms", std::to_string(ms)},
                      {"client", client_address(c)},
                      {"token", token.empty() ? "-" : token}});
    }
  }
  return queued;
}

server::impl::refusal server::impl::refuse(MHD_Connection* c) const {
  // Without a Host header (HTTP/1.0; no browser sends such a request) no
  // name is claimed.
  const std::string_view host = header(c, MHD_HTTP_HEADER_HOST);
  if (!host.empty()) {
    const std::string name = host_name(host);
    const std::string listen = lower(options.host);
    bool ours =
        name == "localhost" || name == "127.0.0.1" || name == "::1" ||
        (!name.empty() && name == listen) ||
        ((listen == "0.0.0.0" || listen == "::") && is_ip_address(name));
    for (const std::string& allowed : options.allowed_hosts) {
      ours = ours || (!name.empty() && name == lower(allowed));
    }
    if (!ours) {
      return {421, "this service does not answer to the host " +
                       printable(host, 64) +
                       "; it answers to its listen address, localhost and "
                       "the names given with --allow-host"};
    }
  }
  // A browser names the page's origin on every POST and on other origins'
  // requests; it must be this service's own.
  const std::string_view origin = header(c, "Origin");
  const std::string origin_host = lower(host);
  if ((!origin.empty() && lower(origin) != "http://" + origin_host &&
       lower(origin) != "https://" + origin_host) ||
      lower(header(c, "Sec-Fetch-Site")) == "cross-site") {
    return {403, "requests from another site's page are refused"};
  }
  return {};
}

watched* server::impl::connection_of(MHD_Connection* c) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr) return nullptr;
  return static_cast<watched*>(info->socket_context);
}

void server::impl::set_deadline(MHD_Connection* c, steady_clock::time_point t) {
  watched* w = connection_of(c);
  if (w == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex);
  w->deadline = t;
}

// Lets the request on when its token may do what it asks; otherwise answers
// it: 401 with a challenge for no or an unknown token (held a while for a
// client that keeps failing), 403 for a read token on a change. The pages
// outside the base path also take the token as an HTTP Basic password, so
// that a browser can log in.
std::optional<MHD_Result> server::impl::authorize(
    MHD_Connection* c, steady_clock::time_point began, const char* method,
    const char* url) {
  const std::string_view m = method;
  const bool reads = m == "GET" || m == "HEAD";
  const std::string_view base = tag_protocol::kBasePath;
  const bool page = std::string_view(url).substr(0, base.size()) != base;
  const std::string_view given = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
  const access_verdict v = options.access->check(
      given, reads ? access_right::read : access_right::write, page);
  if (watched* w = connection_of(c); w != nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    w->token_name = v.name;
  }
  const std::string client = client_address(c);
  if (v.status == 200) {
    options.access->note_success(client);
    return std::nullopt;
  }
  if (v.status == 403) {
    return error(c, began, method, url, 403,
                 "the token " + v.name +
                     " may only read; this request needs a write token");
  }
  std::this_thread::sleep_for(options.access->note_failure(client));
  const char* challenge =
      page            ? "Basic realm=\"tag-service\", charset=\"UTF-8\""
      : given.empty() ? "Bearer realm=\"tag-service\""
                      : "Bearer realm=\"tag-service\", error=\"invalid_token\"";
  return error(c, began, method, url, 401,
               given.empty() ? "this service needs a token: send "
                               "Authorization: Bearer TOKEN"
                             : "the token is not known to this service",
               nullptr, challenge);
}

MHD_Result server::impl::handle(MHD_Connection* c, const char* url,
                                const char* method, const char* upload,
                                std::size_t* upload_size, void** context) {
  auto* state = static_cast<request_state*>(*context);
  const steady_clock::time_point began =
      state != nullptr ? state->began : steady_clock::now();
  if (state != nullptr) {
    if (*upload_size != 0) {
      // The Content-Length was checked; the server passes no more.
      state->body.append(upload, *upload_size);
      *upload_size = 0;
      return MHD_YES;
    }
    // The whole request is here.
    set_deadline(c, steady_clock::time_point::max());
    service::answer a = sim.run(state->r->op, state->body);
    return answer(c, began, method, url, a.status,
                  a.parts ? response_body(std::move(a.parts))
                          : response_body(std::move(a.body)),
                  "application/json");
  }

  // The request line and headers are here; decide before any body is read.
  if (const refusal r = refuse(c); r.status != 0) {
    return error(c, began, method, url, r.status, r.message);
  }
  if (options.access != nullptr) {
    if (const auto refused = authorize(c, began, method, url)) return *refused;
  }
  const std::string_view path = url;
  const std::string_view m = method;
  const std::string_view base = tag_protocol::kBasePath;
  const route* found = nullptr;
  std::string allow;
  if (path.substr(0, base.size()) == base) {
    for (const route& r : kRoutes) {
      if (r.test_hook && !options.test_hooks) continue;
      if (path.substr(base.size()) != r.path) continue;
      // HEAD is GET without the body (which the server leaves out).
      const bool get = std::string_view(r.method) == "GET";
      if (m == r.method || (get && m == "HEAD")) found = &r;
      if (!allow.empty()) allow += ", ";
      allow += get ? "GET, HEAD" : r.method;
    }
  } else if (const auto it = pages.find(std::string(path)); it != pages.end()) {
    if (m != "GET" && m != "HEAD") {
      return error(c, began, method, url, 405, "use GET or HEAD", "GET, HEAD");
    }
    return answer(c, began, method, url, 200, it->second.body(),
                  it->second.content_type.c_str(), nullptr,
                  it->second.policy.c_str());
  }
  if (found == nullptr && allow.empty()) {
    return error(
        c, began, method, url, 404,
        "no such resource: " + printable(m, 16) + " " + printable(path));
  }
  if (found == nullptr) {
    return error(c, began, method, url, 405,
                 printable(m, 16) + " is not served here; use " + allow,
                 allow.c_str());
  }
  // A POST says its body is JSON, which a page of another origin cannot
  // send without the preflight the service never grants.
  if (m == "POST" && media_type(header(c, MHD_HTTP_HEADER_CONTENT_TYPE)) !=
                         "application/json") {
    return error(c, began, method, url, 415,
                 "send the request with Content-Type: application/json");
  }
  // Bodies come with a Content-Length within the limit, and uncompressed;
  // anything else is refused before a byte of it is read.
  if (!header(c, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty()) {
    return error(c, began, method, url, 411,
                 "send the body with a Content-Length");
  }
  if (!header(c, MHD_HTTP_HEADER_CONTENT_ENCODING).empty()) {
    return error(c, began, method, url, 415,
                 "compressed bodies are not accepted");
  }
  const std::string_view length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length.empty() && m == "POST") {
    return error(c, began, method, url, 411,
                 "send a Content-Length (0 for a request without a body)");
  }
  if (length.size() > 9 ||
      (!length.empty() && std::strtoull(std::string(length).c_str(), nullptr,
                                        10) > kMaxRequestBytes)) {
    return error(c, began, method, url, 413,
                 "the request is larger than " +
                     std::to_string(kMaxRequestBytes) + " bytes");
  }
  state = new request_state;
  state->r = found;
  state->began = began;
  *context = state;
  return MHD_YES;
}

void server::impl::watchdog() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    wake.wait_for(lock, std::chrono::milliseconds(250));
    const auto now = steady_clock::now();
    for (watched* w : connections) {
      // The server notices the shut socket and closes the connection; the
      // socket stays ours until then, as it is only closed after its
      // connection leaves this set.
      if (w->deadline <= now) {
        ::shutdown(w->fd, SHUT_RDWR);
        w->deadline = steady_clock::time_point::max();
      }
    }
  }
}

server::server(service& sim, server_options options)
    : impl_(std::make_unique<impl>(sim, std::move(options))) {}

server::~server() {
  stop();
  if (impl_->listen_fd >= 0 && impl_->daemon == nullptr) {
    ::close(impl_->listen_fd);
  }
}

void server::add_page(const std::string& path, page p) {
  impl_->pages[path] = std::move(p);
}

int server::listen() {
  impl& m = *impl_;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(m.options.port);
  if (::getaddrinfo(m.options.host.c_str(), port.c_str(), &hints, &found) !=
      0) {
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Reuses a port left in TIME_WAIT, but never shares one in use (no
    // SO_REUSEPORT).
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return -1;
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  m.listen_fd = fd;
  return bound.ss_family == AF_INET6
             ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
             : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void server::run() {
  impl& m = *impl_;
  if (m.listen_fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.stopping) return;
  }
  auto access = [](void* cls, MHD_Connection* c, const char* url,
                   const char* method, const char*, const char* upload,
                   std::size_t* upload_size, void** context) {
    try {
      return static_cast<impl*>(cls)->handle(c, url, method, upload,
                                             upload_size, context);
    } catch (...) {
      // Out of memory, or a page that failed: this connection ends; the
      // service goes on.
      return MHD_NO;
    }
  };
  auto completed = [](void* cls, MHD_Connection* c, void** context,
                      MHD_RequestTerminationCode) {
    delete static_cast<request_state*>(*context);
    *context = nullptr;
    // The next request on this connection has the same time to arrive.
    static_cast<impl*>(cls)->set_deadline(
        c, steady_clock::now() + std::chrono::seconds(kRequestSeconds));
  };
  auto notify = [](void* cls, MHD_Connection* c, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    impl& m = *static_cast<impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto* w = new watched;
      w->fd = info == nullptr ? -1 : info->connect_fd;
      w->deadline = steady_clock::now() + std::chrono::seconds(kRequestSeconds);
      std::lock_guard<std::mutex> lock(m.mutex);
      if (w->fd >= 0) m.connections.insert(w);
      *socket_context = w;
    } else {
      auto* w = static_cast<watched*>(*socket_context);
      std::lock_guard<std::mutex> lock(m.mutex);
      m.connections.erase(w);
      delete w;
      *socket_context = nullptr;
    }
  };
  // TLS 1.2 or later when a certificate is given. A handshake counts as part
  // of the first request, so the watchdog ends one that drips or stalls.
  const bool tls = !m.options.tls_cert_pem.empty();
  MHD_OptionItem tls_options[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0,
       const_cast<char*>(m.options.tls_cert_pem.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0,
       const_cast<char*>(m.options.tls_key_pem.c_str())},
      {MHD_OPTION_HTTPS_PRIORITIES, 0,
       const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")},
      {MHD_OPTION_END, 0, nullptr}};
  // One thread per connection: an operation may wait (a test's injected
  // delay) without holding up anyone else. poll, not select, so that
  // sockets past 1024 are fine.
  m.daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD |
          MHD_USE_ITC | (tls ? MHD_USE_TLS : 0),
      0, nullptr, nullptr, +access, &m,  //
      MHD_OPTION_LISTEN_SOCKET, m.listen_fd, MHD_OPTION_CONNECTION_LIMIT,
      kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      kMaxConnectionsPerClient, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_THREAD_STACK_SIZE, kThreadStack, MHD_OPTION_STRICT_FOR_CLIENT,
      1, MHD_OPTION_NOTIFY_COMPLETED, +completed, &m,
      MHD_OPTION_NOTIFY_CONNECTION, +notify, &m, MHD_OPTION_ARRAY,
      tls ? tls_options : tls_options + 3, MHD_OPTION_END);
  if (m.daemon == nullptr) {
    std::fprintf(stderr, "tag-service: the HTTP server did not start\n");
    return;
  }
  std::thread watchdog([&m] { m.watchdog(); });
  {
    std::unique_lock<std::mutex> lock(m.mutex);
    m.wake.wait(lock, [&m] { return m.stopping; });
  }
  watchdog.join();
  MHD_stop_daemon(m.daemon);
  m.daemon = nullptr;
  m.listen_fd = -1;  // closed by the daemon
}

void server::stop() {
  impl_->sim.shut_down();
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
}

}  // namespace tag_service
