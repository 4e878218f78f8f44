// The MQTT publisher: takes a reader's events from its event_output and
// publishes them with QoS 1 to PREFIX/events, and the reader's state,
// retained, to PREFIX/status (with a last will saying it is offline). The
// client id is stable and the session persistent, so that what was in
// flight when the broker went away is delivered once it is back. The link
// lives on a thread of its own, reconnects with back-off, and never holds
// up the reader: events wait in the outbox meanwhile.
#ifndef KORVO_TAG_SERVICE_EVENTS_MQTT_PUBLISHER_H_
#define KORVO_TAG_SERVICE_EVENTS_MQTT_PUBLISHER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tag_service/events/event_output.h"

struct mosquitto;

namespace tag_service::events {

// What a message on PREFIX/events holds. json: one event as event_json()
// writes it. epcis: an EPCISDocument of the ObjectEvents (the outbox's
// texts, as object_event_json() writes them) of a short window.
enum class mqtt_format { json, epcis };

struct mqtt_options {
  std::string host;
  std::uint16_t port = 1883;  // 8883 for mqtts
  bool tls = false;
  std::string ca_file;  // with tls: the CA certificates to trust
  std::string user;     // empty: none
  std::string password;
  std::string topic_prefix;  // PREFIX of PREFIX/events and PREFIX/status
  std::string client_id;
  std::string reader_name;           // in the status messages
  std::size_t max_in_flight = 1000;  // messages sent and not yet acknowledged
  mqtt_format format = mqtt_format::json;
  // epcis: a document holds at most document_events, and goes out when
  // that many wait or document_window after the first of them came.
  std::size_t document_events = 100;
  std::chrono::milliseconds document_window{250};
  std::chrono::milliseconds min_backoff{250};
  std::chrono::milliseconds max_backoff{10000};
  std::function<void(const std::string&)> log;  // may be empty
};

// Parses mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (an IPv6 host in
// brackets) into host, port and tls. False with a reason for anything else.
bool parse_mqtt_url(std::string_view url, mqtt_options& out,
                    std::string& error);

// Reads a credentials file: the user name on the first line, the password
// on the second. False with a reason, which never holds the file's
// contents.
bool read_mqtt_credentials(const std::string& path, std::string& user,
                           std::string& password, std::string& error);

// The broker link as the live view shows it.
struct mqtt_link {
  std::string broker;  // mqtt://host:port
  bool connected = false;
  std::string last_error;  // empty: none
};

class mqtt_publisher {
 public:
  mqtt_publisher(mqtt_options options, event_output& events);
  ~mqtt_publisher();  // stop()
  mqtt_publisher(const mqtt_publisher&) = delete;
  mqtt_publisher& operator=(const mqtt_publisher&) = delete;

  // Starts the link thread. False with a reason when libmosquitto refuses
  // the options (a CA file it cannot use, for instance).
  bool start(std::string& error);
  // Says offline on the status topic, disconnects (each step bounded) and
  // joins the thread.
  void stop();

  mqtt_link link() const;

 private:
  void run();
  // Hands events to libmosquitto (with flush, a document without waiting
  // for its window to close); false when it refused one.
  bool feed(bool flush = false);
  bool feed_document(bool flush);
  void publish_status(bool online);
  void wait(std::chrono::milliseconds d);  // ticking the events meanwhile
  void set_error(const std::string& e);
  void log(const std::string& line) const;
  static void on_connect(::mosquitto*, void* self, int rc);
  static void on_disconnect(::mosquitto*, void* self, int rc);
  static void on_publish(::mosquitto*, void* self, int mid);
  static void on_log(::mosquitto*, void* self, int level, const char* text);
  // Why the link failed with rc, in words: with a TLS failure, the reason
  // libmosquitto logged. Link thread only.
  std::string failure(int rc);

  mqtt_options options_;
  event_output& events_;
  std::string events_topic_;
  std::string status_topic_;
  ::mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};  // CONNACK accepted
  std::atomic<bool> just_connected_{false};
  std::atomic<std::size_t> in_flight_{0};
  std::uint64_t status_version_ = ~std::uint64_t{0};
  int offline_mid_ = -1;
  std::atomic<bool> offline_acked_{false};
  bool window_open_ = false;  // epcis: events wait for a document
  std::chrono::steady_clock::time_point window_start_;
  mutable std::mutex mutex_;  // guards last_error_, for wake_
  std::condition_variable wake_;
  std::string last_error_;
  std::string tls_error_;  // the last TLS failure logged; link thread only
};

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_MQTT_PUBLISHER_H_
