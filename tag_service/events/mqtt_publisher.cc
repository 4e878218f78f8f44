#include "tag_service/events/mqtt_publisher.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tag_service/events/epcis.h"
#include "tag_service/model/host_port.h"

namespace tag_service::events {
namespace {

using clock = std::chrono::steady_clock;

constexpr int kKeepaliveSeconds = 30;
constexpr std::chrono::milliseconds kTick{100};        // departures, moves
constexpr std::chrono::milliseconds kStopBound{2000};  // flushing at stop

std::string link_error(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

// libmosquitto wants one init per process before any client.
void init_library() {
  static const int once = [] { return mosquitto_lib_init(); }();
  (void)once;
}

}  // namespace

bool parse_mqtt_url(std::string_view url, mqtt_options& out,
                    std::string& error) {
  std::string_view rest;
  if (url.rfind("mqtt://", 0) == 0) {
    out.tls = false;
    out.port = 1883;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    out.tls = true;
    out.port = 8883;
    rest = url.substr(8);
  } else {
    error = "the broker URL must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return false;
  }
  if (!parse_host_port(rest, out.host, out.port, error)) {
    error = "the broker URL " + error;
    return false;
  }
  return true;
}

bool read_mqtt_credentials(const std::string& path, std::string& user,
                           std::string& password, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the MQTT credentials file " + path + ": " +
            std::strerror(errno);
    return false;
  }
  std::string text(4096, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  const auto strip = [](std::string s) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
  };
  const auto first = text.find('\n');
  user = strip(text.substr(0, first));
  password = first == std::string::npos ? "" : text.substr(first + 1);
  const auto second = password.find('\n');
  const bool extra =
      second != std::string::npos &&
      password.find_first_not_of("\r\n", second) != std::string::npos;
  password = strip(password.substr(0, second));
  if (user.empty() || first == std::string::npos || extra ||
      text.size() == 4096) {
    user.clear();
    password.clear();
    error = "the MQTT credentials file " + path +
            " must hold the user name on its first line and the password "
            "on its second, and nothing else";
    return false;
  }
  return true;
}

mqtt_publisher::mqtt_publisher(mqtt_options options, event_output& events)
    : options_(std::move(options)),
      events_(events),
      events_topic_(options_.topic_prefix + "/events"),
      status_topic_(options_.topic_prefix + "/status") {}

mqtt_publisher::~mqtt_publisher() {
  stop();
  if (mosq_) mosquitto_destroy(mosq_);
}

void mqtt_publisher::log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

void mqtt_publisher::set_error(const std::string& e) {
  std::lock_guard lock(mutex_);
  last_error_ = e;
}

mqtt_link mqtt_publisher::link() const {
  mqtt_link l;
  l.broker =
      std::string(options_.tls ? "mqtts://" : "mqtt://") +
      (options_.host.find(':') != std::string::npos ? "[" + options_.host + "]"
                                                    : options_.host) +
      ":" + std::to_string(options_.port);
  l.connected = connected_;
  std::lock_guard lock(mutex_);
  l.last_error = last_error_;
  return l;
}

bool mqtt_publisher::start(std::string& error) {
  init_library();
  mosq_ =
      mosquitto_new(options_.client_id.c_str(), /*clean_session=*/false, this);
  if (!mosq_) {
    error = "cannot make an MQTT client: " + std::string(std::strerror(errno));
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_max_inflight_messages_set(
      mosq_, static_cast<unsigned>(options_.max_in_flight));
  mosquitto_connect_callback_set(mosq_, &on_connect);
  mosquitto_disconnect_callback_set(mosq_, &on_disconnect);
  mosquitto_publish_callback_set(mosq_, &on_publish);
  mosquitto_log_callback_set(mosq_, &on_log);
  const std::string will =
      nlohmann::json{{"status", "offline"}, {"reader", options_.reader_name}}
          .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  int rc =
      mosquitto_will_set(mosq_, status_topic_.c_str(),
                         static_cast<int>(will.size()), will.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !options_.user.empty()) {
    rc = mosquitto_username_pw_set(mosq_, options_.user.c_str(),
                                   options_.password.c_str());
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "cannot set up the MQTT client: " + link_error(rc);
    return false;
  }
  if (options_.tls) {
    rc = mosquitto_tls_set(
        mosq_, options_.ca_file.empty() ? nullptr : options_.ca_file.c_str(),
        options_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
        nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error =
          "cannot use the CA file " + options_.ca_file + ": " + link_error(rc);
      return false;
    }
  }
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void mqtt_publisher::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void mqtt_publisher::wait(std::chrono::milliseconds d) {
  // Time goes on making events while the link waits out its back-off, so
  // that a departure is stamped when the hold ran out, not when the broker
  // came back.
  const auto until = clock::now() + d;
  std::unique_lock lock(mutex_);
  while (!stopping_ && clock::now() < until) {
    lock.unlock();
    events_.tick(utc_now_ms());
    lock.lock();
    wake_.wait_for(lock, std::min<clock::duration>(until - clock::now(), kTick),
                   [&] { return stopping_.load(); });
  }
}

void mqtt_publisher::on_connect(::mosquitto*, void* self, int rc) {
  auto* p = static_cast<mqtt_publisher*>(self);
  if (rc == 0) {
    p->connected_ = true;
    p->just_connected_ = true;
    p->set_error("");
    p->log("broker " + p->link().broker + ": connected");
    return;
  }
  // Refused (credentials, client id): reported, and retried with back-off
  // once the broker closes the connection.
  const std::string why = "the broker refused the connection: " +
                          std::string(mosquitto_connack_string(rc));
  p->set_error(why);
  p->log("broker " + p->link().broker + ": " + why);
}

void mqtt_publisher::on_log(::mosquitto*, void* self, int level,
                            const char* text) {
  // libmosquitto says why a TLS handshake failed only in its log, as
  // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify
  // failed"; the reason is the text after the last colon.
  const std::string_view line = text ? text : "";
  if (level != MOSQ_LOG_ERR || !line.starts_with("OpenSSL Error")) return;
  const auto colon = line.rfind(':');
  static_cast<mqtt_publisher*>(self)->tls_error_ =
      std::string(line.substr(colon == std::string_view::npos ? 0 : colon + 1));
}

std::string mqtt_publisher::failure(int rc) {
  std::string tls = std::move(tls_error_);
  tls_error_.clear();
  if (rc != MOSQ_ERR_TLS || tls.empty()) return link_error(rc);
  std::string why = "TLS handshake failed: " + tls;
  if (tls.find("certificate verify failed") != std::string::npos) {
    why += options_.ca_file.empty()
               ? " (the broker's certificate is not signed by a CA of "
                 "/etc/ssl/certs; give --mqtt-ca)"
               : " (the broker's certificate is not signed by a CA in " +
                     options_.ca_file + ")";
  }
  return why;
}

void mqtt_publisher::on_disconnect(::mosquitto*, void* self, int) {
  static_cast<mqtt_publisher*>(self)->connected_ = false;
}

void mqtt_publisher::on_publish(::mosquitto*, void* self, int mid) {
  auto* p = static_cast<mqtt_publisher*>(self);
  if (mid == p->offline_mid_) {
    p->offline_acked_ = true;
    return;
  }
  if (p->in_flight_ > 0) --p->in_flight_;
}

void mqtt_publisher::publish_status(bool online) {
  const reader_link r = events_.link();
  status_version_ = r.version;
  nlohmann::json j = {{"status", online ? "online" : "offline"},
                      {"reader", options_.reader_name}};
  if (online) {
    j["connected"] = r.connected;
    j["inventory"] = r.inventory;
  }
  const std::string text =
      j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  int mid = 0;
  // The status is not an event: its acknowledgement is not counted.
  if (mosquitto_publish(mosq_, &mid, status_topic_.c_str(),
                        static_cast<int>(text.size()), text.data(), 1,
                        true) == MOSQ_ERR_SUCCESS) {
    if (!online) offline_mid_ = mid;
  }
}

bool mqtt_publisher::feed_document(bool flush) {
  if (events_.figures().events == 0) {
    window_open_ = false;
    return true;
  }
  const auto now = clock::now();
  if (!window_open_) {
    window_open_ = true;
    window_start_ = now;
  }
  if (!flush && now - window_start_ < options_.document_window &&
      events_.figures().events < options_.document_events) {
    return true;
  }
  bool refused = false;
  const std::int64_t now_ms = utc_now_ms();
  events_.hand_over_batch(
      options_.document_events, now_ms,
      [&](std::span<const std::string> texts) {
        const std::string document = epcis_document(texts, now_ms);
        const int rc = mosquitto_publish(mosq_, nullptr, events_topic_.c_str(),
                                         static_cast<int>(document.size()),
                                         document.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS) {
          refused = true;
          return false;
        }
        ++in_flight_;
        return true;
      });
  // What is left waits for a window of its own.
  window_open_ = false;
  return !refused;
}

bool mqtt_publisher::feed(bool flush) {
  const std::size_t busy = in_flight_;
  if (busy >= options_.max_in_flight) return true;
  if (options_.format == mqtt_format::epcis) return feed_document(flush);
  bool refused = false;
  events_.hand_over(options_.max_in_flight - busy, utc_now_ms(),
                    [&](const std::string& text) {
                      const int rc = mosquitto_publish(
                          mosq_, nullptr, events_topic_.c_str(),
                          static_cast<int>(text.size()), text.data(), 1, false);
                      if (rc != MOSQ_ERR_SUCCESS) {
                        refused = true;
                        return false;
                      }
                      ++in_flight_;
                      return true;
                    });
  return !refused;
}

void mqtt_publisher::run() {
  auto backoff = options_.min_backoff;
  bool socket_up = false;
  bool ever_connected = false;
  std::uint64_t dropped_logged = 0;
  auto next_tick = clock::now();
  while (!stopping_) {
    if (clock::now() >= next_tick) {
      events_.tick(utc_now_ms());
      next_tick = clock::now() + kTick;
      const outbox_figures f = events_.figures();
      if (f.dropped != dropped_logged) {
        log("outbox full: " + std::to_string(f.dropped - dropped_logged) +
            " events dropped (" + std::to_string(f.dropped) +
            " since the start)");
        dropped_logged = f.dropped;
      }
    }
    if (!socket_up) {
      const int rc = ever_connected ? mosquitto_reconnect_async(mosq_)
                                    : mosquitto_connect_async(
                                          mosq_, options_.host.c_str(),
                                          options_.port, kKeepaliveSeconds);
      if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = "cannot reach the broker: " + failure(rc);
        set_error(why);
        log("broker " + link().broker + ": " + why + "; again in " +
            std::to_string(backoff.count()) + " ms");
        wait(backoff);
        backoff = std::min(backoff * 2, options_.max_backoff);
        continue;
      }
      socket_up = true;
      ever_connected = true;
    }
    if (connected_) {
      if (just_connected_.exchange(false)) {
        backoff = options_.min_backoff;
        publish_status(true);
      } else if (events_.link().version != status_version_) {
        publish_status(true);
      }
      feed();
    }
    const int rc = mosquitto_loop(mosq_, 5, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
      const bool was = connected_.exchange(false);
      socket_up = false;
      std::string why = failure(rc);
      {
        std::lock_guard lock(mutex_);
        // A refusal said more than the closed connection that follows it.
        if (!was && !last_error_.empty()) why = last_error_;
        last_error_ = was ? "lost the broker: " + why : why;
      }
      log("broker " + link().broker + ": " + (was ? "link lost: " + why : why) +
          "; again in " + std::to_string(backoff.count()) + " ms");
      wait(backoff);
      backoff = std::min(backoff * 2, options_.max_backoff);
    }
  }
  if (!connected_) return;
  // Stopping: what the outbox holds goes out, then the status says
  // offline, then a clean disconnection (which the last will does not
  // follow), all within a bound.
  const auto deadline = clock::now() + kStopBound;
  events_.tick(utc_now_ms());
  while (connected_ && clock::now() < deadline &&
         (in_flight_ > 0 || events_.figures().events > 0)) {
    feed(/*flush=*/true);
    if (mosquitto_loop(mosq_, 5, 1) != MOSQ_ERR_SUCCESS) return;
  }
  publish_status(false);
  while (connected_ && !offline_acked_ && clock::now() < deadline) {
    if (mosquitto_loop(mosq_, 5, 1) != MOSQ_ERR_SUCCESS) return;
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop(mosq_, 5, 1);
}

}  // namespace tag_service::events
