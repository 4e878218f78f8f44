#include "tag_service/service/service.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>

#include "platform/utf.h"
#include "protocol/tag_protocol.h"
#include "tag_service/model/wire_json.h"

namespace tag_service {
namespace {

using nlohmann::json;

// {"KEY": [ELEMENT...]} in parts of about kPartBytes, written from list
// (a snapshot the parts share) by write_element as they are taken.
constexpr std::size_t kPartBytes = 64 * 1024;

template <class T>
body_parts list_parts(const char* key,
                      std::shared_ptr<const std::vector<T>> list,
                      void (*write_element)(json_writer&, const T&)) {
  struct state {
    std::shared_ptr<const std::vector<T>> list;
    json_writer w;
    std::size_t next = 0;
    bool closed = false;
  };
  auto s = std::make_shared<state>();
  s->list = std::move(list);
  return [s, key, write_element]() -> std::string_view {
    s->w.clear();
    if (s->closed) return {};
    if (s->next == 0) {
      s->w.begin_object();
      s->w.key(key);
      s->w.begin_array();
    }
    while (s->next < s->list->size() && s->w.size() < kPartBytes) {
      write_element(s->w, (*s->list)[s->next++]);
    }
    if (s->next == s->list->size()) {
      s->w.end_array();
      s->w.end_object();
      s->closed = true;
    }
    return s->w.text();
  };
}

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

service::answer error_answer(int status, std::string_view message) {
  return {status, json_text([&](json_writer& w) {
            w.begin_object();
            w.key("error");
            w.begin_object();
            w.member("message", printable(message, 1000));
            w.member("status", status);
            w.end_object();
            w.end_object();
          })};
}

std::string whole_text(const service::answer& a) {
  return a.parts ? whole_text(a.parts) : a.body;
}

body_parts one_part(std::string_view text) {
  return [text, given = false]() mutable -> std::string_view {
    if (given) return {};
    given = true;
    return text;
  };
}

body_parts shared_part(std::shared_ptr<const std::string> text) {
  return [text = std::move(text), given = false]() mutable -> std::string_view {
    if (given) return {};
    given = true;
    return *text;
  };
}

std::string whole_text(const body_parts& parts) {
  std::string text;
  for (std::string_view p = parts(); !p.empty(); p = parts()) text += p;
  return text;
}

std::string printable(std::string_view s, std::size_t max_bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    // The length a sequence with this lead byte has; whether it is
    // well-formed is the tree's one UTF-8 rule to say.
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    const bool ok = b >= 0x20 && b != 0x7F && i + len <= s.size() &&
                    korvo::is_valid_utf8(s.substr(i, len));
    if (!ok) len = 1;
    if (out.size() + len > max_bytes) break;
    if (ok) {
      out.append(s.substr(i, len));
    } else {
      out.push_back('?');
    }
    i += len;
  }
  return out;
}

service::service(std::unique_ptr<reader> r) : reader_(std::move(r)) {}

void service::shut_down() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

service::answer service::run(const std::string& op, const std::string& body) {
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
  } catch (const reader_error& e) {
    return error_answer(e.status, e.message);
  } catch (const std::bad_alloc&) {
    return error_answer(500, "the service ran out of memory");
  } catch (const std::exception& e) {
    return error_answer(500, std::string("the service failed: ") + e.what());
  }
}

service::answer service::dispatch(const std::string& op, const json& request) {
  if (!is_operation(op) && op != "inject" && op != "clear" && op != "state") {
    return error_answer(404, "no such operation");
  }
  // Answers with one tag: {"tag": TAG}, and the item it joined.
  const auto tag_answer = [](int status, const tag& t,
                             const std::string* item_id = nullptr) {
    return answer{status, json_text([&](json_writer& w) {
                    w.begin_object();
                    if (item_id != nullptr) w.member("item", *item_id);
                    w.key("tag");
                    write_tag(w, t);
                    w.end_object();
                  })};
  };
  if (op == "create") {
    only_keys(request, {"data"});
    const std::string& data = text_member(request, "data", kMaxTextBytes);
    return tag_answer(201, reader_->create_tag(data));
  }
  if (op == "write") {
    only_keys(request, {"id"});
    const written_tag w =
        reader_->write_tag(text_member(request, "id", kMaxTextBytes));
    return tag_answer(200, w.written, &w.item_id);
  }
  if (op == "security") {
    only_keys(request, {"id", "secure"});
    const std::string& id = text_member(request, "id", kMaxTextBytes);
    const bool secure = bool_member(request, "secure");
    return tag_answer(200, reader_->set_security(id, secure));
  }
  if (op == "inject") return inject(request);
  // The rest take no members.
  only_keys(request, {});
  if (op == "ping") {
    return {200, json_text([](json_writer& w) {
              w.begin_object();
              w.member("protocol", tag_protocol::kVersion);
              w.member("service", tag_protocol::kServiceName);
              w.end_object();
            })};
  }
  if (op == "connect" || op == "disconnect") {
    const bool connected = reader_->set_connected(op == "connect");
    return {200, json_text([&](json_writer& w) {
              w.begin_object();
              w.member("connected", connected);
              w.end_object();
            })};
  }
  if (op == "formats") {
    return {200, list_parts("formats",
                            std::make_shared<const std::vector<tag_format>>(
                                reader_->formats()),
                            write_format)};
  }
  if (op == "items") {
    return {200, list_parts("items", reader_->shared_items(), write_item)};
  }
  if (op == "clear") {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = injections_.size();
    injections_.clear();
    return {200, json_text([&](json_writer& w) {
              w.begin_object();
              w.member("cleared", std::uint64_t{n});
              w.end_object();
            })};
  }
  return state();
}

service::answer service::inject(const json& request) {
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
  return {200, json_text([&](json_writer& w) {
            w.begin_object();
            w.key("injected");
            w.begin_object();
            w.member("delay_ms", inj.delay_ms);
            w.member("message", inj.message);
            w.member("operation", op);
            w.member("status", inj.status);
            w.member("times", inj.times);
            w.end_object();
            w.end_object();
          })};
}

service::answer service::state() {
  const reader_status r = reader_->status();
  std::lock_guard<std::mutex> lock(mutex_);
  // Members and calls in the order of their names.
  std::map<std::string_view, std::uint64_t> calls;
  for (const char* o : kOperations) {
    const auto it = calls_.find(o);
    calls[o] = it == calls_.end() ? 0 : it->second;
  }
  return {200, json_text([&](json_writer& w) {
            w.begin_object();
            w.key("calls");
            w.begin_object();
            for (const auto& [o, n] : calls) w.member(o, n);
            w.end_object();
            w.member("connected", r.connected);
            w.member("injections", std::uint64_t{injections_.size()});
            w.member("items", std::uint64_t{r.items});
            w.member("pending", std::uint64_t{r.pending});
            w.end_object();
          })};
}

}  // namespace tag_service
