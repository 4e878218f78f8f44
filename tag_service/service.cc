#include "tag_service/service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <initializer_list>

#include "protocol/tag_protocol.h"
#include "protocol/wire_time.h"

namespace tag_service {
namespace {

using nlohmann::json;

// Operations a test can put a delay or failure in front of.
constexpr const char* kOperations[] = {"ping",    "connect", "disconnect",
                                       "formats", "items",   "create",
                                       "write",   "security"};

bool is_operation(const std::string& op) {
  for (const char* o : kOperations) {
    if (op == o) return true;
  }
  return false;
}

simulator::answer error_answer(int status, const std::string& message) {
  return {
      status,
      {{"error", {{"status", status}, {"message", printable(message, 1000)}}}}};
}

std::uint64_t now_filetime() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return tag_protocol::filetime_from_unix_ns(ns);
}

// A request's member checks; each failure is a 400 answer.
struct request_error {
  std::string message;
};

void only_keys(const json& j, std::initializer_list<const char*> known) {
  for (const auto& [key, value] : j.items()) {
    bool found = false;
    for (const char* k : known) found = found || key == k;
    if (!found) {
      throw request_error{"the request has an unknown member '" +
                          printable(key) + "'"};
    }
  }
}

const std::string& text_member(const json& j, const char* key,
                               std::size_t max_bytes) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_string()) {
    throw request_error{std::string("the request needs '") + key +
                        "' as a text"};
  }
  const auto& s = it->get_ref<const std::string&>();
  if (s.size() > max_bytes) {
    throw request_error{std::string("'") + key + "' is longer than " +
                        std::to_string(max_bytes) + " bytes"};
  }
  return s;
}

int int_member(const json& j, const char* key, int low, int high,
               int fallback) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (!it->is_number_integer() ||
      (it->is_number_unsigned() && it->get<std::uint64_t>() > 1u << 30) ||
      it->get<std::int64_t>() < low || it->get<std::int64_t>() > high) {
    throw request_error{std::string("'") + key +
                        "' must be a whole number from " + std::to_string(low) +
                        " to " + std::to_string(high)};
  }
  return static_cast<int>(it->get<std::int64_t>());
}

bool bool_member(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_boolean()) {
    throw request_error{std::string("the request needs '") + key +
                        "' as true or false"};
  }
  return it->get<bool>();
}

}  // namespace

std::string printable(std::string_view s, std::size_t max_bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    if (b >= 0x20 && b < 0x7F) {
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
    }
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    }
    if (ok && len >= 3) {
      const auto b1 = static_cast<unsigned char>(s[i + 1]);
      // No overlong forms, surrogates or values past U+10FFFF.
      ok = !(b == 0xE0 && b1 < 0xA0) && !(b == 0xED && b1 >= 0xA0) &&
           !(b == 0xF0 && b1 < 0x90) && !(b == 0xF4 && b1 >= 0x90);
    }
    if (!ok) len = 1;
    if (out.size() + (ok ? len : 1) > max_bytes) break;
    if (ok) {
      out.append(s.substr(i, len));
    } else {
      out.push_back('?');
    }
    i += len;
  }
  return out;
}

simulator::simulator(field f) : field_(std::move(f)) {}

void simulator::shut_down() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

simulator::answer simulator::run(const std::string& op,
                                 const std::string& body) {
  try {
    if (is_operation(op)) {
      injection inj;
      bool injected = false;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls_[op];
        auto it = injections_.find(op);
        if (it == injections_.end()) it = injections_.find("*");
        if (it != injections_.end()) {
          inj = it->second;
          injected = true;
          if (it->second.times > 0 && --it->second.times == 0) {
            injections_.erase(it);
          }
        }
        if (injected && inj.delay_ms > 0) {
          wake_.wait_for(lock, std::chrono::milliseconds(inj.delay_ms),
                         [this] { return stopping_; });
        }
      }
      if (injected && inj.status != 0) {
        return error_answer(inj.status, inj.message);
      }
    }
    json request = json::object();
    if (!body.empty()) {
      request = json::parse(body, nullptr, /*allow_exceptions=*/false);
      if (request.is_discarded()) {
        return error_answer(400, "the request body is not valid JSON (UTF-8)");
      }
      if (!request.is_object()) {
        return error_answer(400, "the request body must be a JSON object");
      }
    }
    return dispatch(op, request);
  } catch (const request_error& e) {
    return error_answer(400, e.message);
  } catch (const std::bad_alloc&) {
    return error_answer(500, "the service ran out of memory");
  } catch (const std::exception& e) {
    return error_answer(500, std::string("the service failed: ") + e.what());
  }
}

simulator::answer simulator::dispatch(const std::string& op,
                                      const json& request) {
  if (op == "ping") {
    only_keys(request, {});
    return {200, {{"service", tag_protocol::kServiceName}, {"protocol", tag_protocol::kVersion}}};
  }
  if (op == "connect" || op == "disconnect") {
    only_keys(request, {});
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = op == "connect";
    return {200, {{"connected", connected_}}};
  }
  if (op == "formats") {
    only_keys(request, {});
    std::lock_guard<std::mutex> lock(mutex_);
    json formats = json::array();
    for (const tag_format& f : field_.formats) {
      formats.push_back(format_json(f));
    }
    return {200, {{"formats", std::move(formats)}}};
  }
  if (op == "items") {
    only_keys(request, {});
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return error_answer(409, "the reader is not connected");
    json items = json::array();
    for (const item& i : field_.items) items.push_back(item_json(i));
    return {200, {{"items", std::move(items)}}};
  }
  if (op == "create") return create_tag(request);
  if (op == "write") return write_tag(request);
  if (op == "security") return set_security(request);
  if (op == "inject") return inject(request);
  if (op == "clear") {
    only_keys(request, {});
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = injections_.size();
    injections_.clear();
    return {200, {{"cleared", n}}};
  }
  if (op == "state") return state();
  return error_answer(404, "no such operation");
}

simulator::answer simulator::create_tag(const json& request) {
  only_keys(request, {"data"});
  const std::string& data = text_member(request, "data", kMaxTextBytes);
  std::lock_guard<std::mutex> lock(mutex_);
  tag t;
  try {
    t = parse_write_data(field_, data);
  } catch (const field_error& e) {
    return error_answer(422, e.what());
  }
  t.id = fresh_tag_id();
  if (pending_.size() >= kMaxPendingTags) {
    pending_.erase(pending_order_.front());
    pending_order_.pop_front();
  }
  pending_order_.push_back(t.id);
  json j = tag_json(t);
  pending_.emplace(t.id, std::move(t));
  return {201, {{"tag", std::move(j)}}};
}

simulator::answer simulator::write_tag(const json& request) {
  only_keys(request, {"id"});
  const std::string& id = text_member(request, "id", kMaxTextBytes);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return error_answer(409, "the reader is not connected");
  const auto it = pending_.find(id);
  if (it == pending_.end()) {
    return error_answer(404, "there is no created, unwritten tag '" + id + "'");
  }
  if (field_.items.size() >= kMaxItems) {
    return error_answer(507, "the field is full (" + std::to_string(kMaxItems) +
                                 " items); no tag can be added");
  }
  item i;
  i.id = fresh_item_id();
  i.type = it->second.type;
  i.first_seen = now_filetime();
  i.tags.push_back(std::move(it->second));
  i.tags.back().first_seen = i.first_seen;
  pending_.erase(it);
  std::erase(pending_order_, id);
  field_.items.push_back(std::move(i));
  const item& written = field_.items.back();
  return {200, {{"tag", tag_json(written.tags.back())}, {"item", written.id}}};
}

simulator::answer simulator::set_security(const json& request) {
  only_keys(request, {"id", "secure"});
  const std::string& id = text_member(request, "id", kMaxTextBytes);
  const bool secure = bool_member(request, "secure");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return error_answer(409, "the reader is not connected");
  tag* t = find_tag(id);
  if (t == nullptr) {
    return error_answer(404, "there is no tag '" + id + "' in the field");
  }
  t->security = secure;
  t->secured = secure;
  return {200, {{"tag", tag_json(*t)}}};
}

simulator::answer simulator::inject(const json& request) {
  only_keys(request, {"operation", "delay_ms", "status", "message", "times"});
  const std::string& op = text_member(request, "operation", 32);
  if (op != "*" && !is_operation(op)) {
    std::string known = "*";
    for (const char* o : kOperations) known += std::string(", ") + o;
    return error_answer(400, "'operation' must be one of " + known);
  }
  injection inj;
  inj.delay_ms = int_member(request, "delay_ms", 0, 60000, 0);
  inj.status = int_member(request, "status", 0, 599, 0);
  if (inj.status != 0 && inj.status < 400) {
    return error_answer(400, "'status' must be 0 (no failure) or 400 to 599");
  }
  if (request.contains("message")) {
    inj.message = text_member(request, "message", 512);
  } else if (inj.status != 0) {
    inj.message = "injected failure";
  }
  inj.times = int_member(request, "times", 0, 1000000, 1);
  std::lock_guard<std::mutex> lock(mutex_);
  injections_[op] = inj;
  return {200,
          {{"injected",
            {{"operation", op},
             {"delay_ms", inj.delay_ms},
             {"status", inj.status},
             {"message", inj.message},
             {"times", inj.times}}}}};
}

simulator::answer simulator::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  json calls = json::object();
  for (const char* o : kOperations) {
    const auto it = calls_.find(o);
    calls[o] = it == calls_.end() ? 0 : it->second;
  }
  return {200,
          {{"connected", connected_},
           {"items", field_.items.size()},
           {"pending", pending_.size()},
           {"injections", injections_.size()},
           {"calls", std::move(calls)}}};
}

// Tag ids look like the 96-bit EPCs of the demo field: 24 hex digits.
std::string simulator::fresh_tag_id() {
  for (;;) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "E2801190200000%010llX",
                  static_cast<unsigned long long>(next_tag_++));
    if (find_tag(buf) == nullptr && pending_.count(buf) == 0) return buf;
  }
}

std::string simulator::fresh_item_id() {
  for (;;) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "ITEM-%06llu",
                  static_cast<unsigned long long>(next_item_++));
    bool used = false;
    for (const item& i : field_.items) used = used || equals_nocase(i.id, buf);
    if (!used) return buf;
  }
}

tag* simulator::find_tag(const std::string& id) {
  for (item& i : field_.items) {
    for (tag& t : i.tags) {
      if (equals_nocase(t.id, id)) return &t;
    }
  }
  return nullptr;
}

void simulator::attach(httplib::Server& server, bool log) {
  using httplib::Request;
  using httplib::Response;
  const std::string base = tag_protocol::kBasePath;
  auto route = [this](const char* op) {
    return [this, op](const Request& req, Response& res) {
      const answer a = run(op, req.body);
      res.status = a.status;
      res.set_content(a.body.dump(), "application/json");
    };
  };
  server.Get(base + tag_protocol::kPing, route("ping"));
  server.Post(base + tag_protocol::kConnect, route("connect"));
  server.Post(base + tag_protocol::kDisconnect, route("disconnect"));
  server.Get(base + tag_protocol::kFormats, route("formats"));
  server.Get(base + tag_protocol::kItems, route("items"));
  server.Post(base + tag_protocol::kCreateTag, route("create"));
  server.Post(base + tag_protocol::kWriteTag, route("write"));
  server.Post(base + tag_protocol::kSecurity, route("security"));
  server.Post(base + "/test/inject", route("inject"));
  server.Delete(base + "/test/inject", route("clear"));
  server.Get(base + "/test/state", route("state"));

  server.set_payload_max_length(kMaxRequestBytes);
  // The length limit holds for bodies sent with a Content-Length only: the
  // server reads a chunked body whole, and inflates a compressed one, before
  // any limit applies. The protocol needs neither, so both are refused
  // before the body is read.
  server.set_pre_routing_handler([](const Request& req, Response& res) {
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
  server.set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_timeout(2);
  server.set_keep_alive_max_count(100);
  // Answers the server gives on its own (no such route, body too large, a
  // request it cannot parse) carry a JSON error as well.
  using handler_response = httplib::Server::HandlerResponse;
  server.set_error_handler(httplib::Server::HandlerWithResponse(
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
  server.set_exception_handler(
      [](const Request&, Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(error_answer(500, "the service failed").body.dump(),
                        "application/json");
      });
  if (log) {
    server.set_logger([](const Request& req, const Response& res) {
      std::fprintf(stderr, "tag-service: %s %s -> %d\n",
                   printable(req.method, 16).c_str(),
                   printable(req.path).c_str(), res.status);
    });
  }
}

}  // namespace tag_service
