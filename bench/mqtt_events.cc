// Tag events through a broker: the service's own event output (derivation
// and the bounded outbox) and MQTT publisher, fed by a driver that plays a
// reader, with a subscriber in the same process. The driver hands over
// sightings of SGTIN-96 tags decoded as the LLRP reader decodes them; every
// tag is new (one arrived event) and leaves after the hold (one departed
// event). Used by bench/mqtt.sh; not a test.
//
//   mqtt_events PORT throughput SECONDS
//     feeds as fast as the outbox drains (the outbox kept under half its
//     bound), prints the events the subscriber received per second.
//   mqtt_events PORT latency SECONDS EVENTS_PER_S
//     feeds EVENTS_PER_S / 2 new tags a second, evenly, and prints the time
//     from handing a sighting over to its arrived event reaching the
//     subscriber: median, 99th percentile, maximum.
//   mqtt_events PORT away SECONDS EVENTS_PER_S OUTBOX_EVENTS
//     the same feed with no broker at PORT: prints the outbox and the
//     process's memory (VmHWM, VmRSS) every 10 s.
#include <mosquitto.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tag_service/events/event_output.h"
#include "tag_service/events/mqtt_publisher.h"
#include "tag_service/gs1/epc.h"
#include "tag_service/gs1/epc_field.h"

namespace {

using namespace tag_service;
using steady = std::chrono::steady_clock;

constexpr char kTopic[] = "korvo/bench";
constexpr auto kHold = std::chrono::milliseconds(200);

// The sighting of tag number n: SGTIN-96 0614141.812345 with serial n.
sighting sighting_of(std::uint64_t n) {
  std::array<std::uint8_t, 12> bytes = {0x30, 0x74, 0x25, 0x7B, 0xF7, 0x19,
                                        0x4E, 0x40, 0x00, 0x00, 0x00, 0x00};
  for (int i = 0; i < 5; ++i)  // the 38-bit serial, low bytes first
    bytes[11 - i] |= static_cast<std::uint8_t>(n >> (8 * i));
  const epc::decoded d = epc::decode(bytes, 96);
  sighting s;
  s.seen.id = epc::item_id(d);
  s.seen.type = epc::item_type(d);
  s.seen.tags.push_back(epc::epc_tag(d));
  s.scheme = epc::scheme_name(d.kind);
  s.antenna = 1;
  s.peak_rssi = -55;
  s.time_ms = utc_now_ms();
  return s;
}

// The serial of an event's tag id, from its JSON text; -1 for events
// without one (reader, gap).
long long serial_of(const char* text, std::size_t size) {
  const std::string_view t(text, size);
  const auto at = t.find("\"tag_id\":\"");
  if (at == std::string_view::npos || at + 10 + 24 > t.size()) return -1;
  // The low 38 bits of the 96: the last 10 hex digits, masked.
  const std::string hex(t.substr(at + 10 + 14, 10));
  return static_cast<long long>(std::strtoull(hex.c_str(), nullptr, 16) &
                                ((1ULL << 38) - 1));
}

struct subscriber_state {
  std::atomic<std::uint64_t> events{0};
  std::atomic<bool> subscribed{false};
  std::mutex mutex;                       // guards latencies
  std::vector<steady::time_point>* sent;  // by serial; latency mode
  std::vector<double> latencies_ms;
};

void on_message(mosquitto*, void* self, const mosquitto_message* m) {
  auto* s = static_cast<subscriber_state*>(self);
  if (!std::strstr(m->topic, "/events")) return;
  s->events.fetch_add(1, std::memory_order_relaxed);
  if (!s->sent) return;
  const char* text = static_cast<const char*>(m->payload);
  const std::size_t size = static_cast<std::size_t>(m->payloadlen);
  if (std::string_view(text, size).find("\"kind\":\"arrived\"") ==
      std::string_view::npos)
    return;
  const long long n = serial_of(text, size);
  if (n < 0 || static_cast<std::size_t>(n) >= s->sent->size()) return;
  const double ms = std::chrono::duration<double, std::milli>(
                        steady::now() - (*s->sent)[static_cast<std::size_t>(n)])
                        .count();
  std::lock_guard lock(s->mutex);
  s->latencies_ms.push_back(ms);
}

void on_subscribe(mosquitto*, void* self, int, int, const int*) {
  static_cast<subscriber_state*>(self)->subscribed = true;
}

void on_connect(mosquitto* m, void*, int rc) {
  if (rc == 0)
    mosquitto_subscribe(m, nullptr, (std::string(kTopic) + "/#").c_str(), 1);
}

std::string status_line(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return line;
  return std::string(key) + " ?";
}

// The outbox and the process's memory, for the away mode.
void away_report(const events::event_output& output, steady::time_point start) {
  const events::outbox_figures f = output.figures();
  std::printf(
      "after %3lld s: outbox %zu events, %zu bytes, dropped %llu; %s, %s\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                 steady::now() - start)
                                 .count()),
      f.events, f.bytes, static_cast<unsigned long long>(f.dropped),
      status_line("VmHWM").c_str(), status_line("VmRSS").c_str());
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr,
               "usage: mqtt_events PORT throughput SECONDS\n"
               "       mqtt_events PORT latency SECONDS EVENTS_PER_S\n"
               "       mqtt_events PORT away SECONDS EVENTS_PER_S "
               "OUTBOX_EVENTS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const int port = std::atoi(argv[1]);
  const std::string mode = argv[2];
  const int seconds = std::atoi(argv[3]);
  const bool throughput = mode == "throughput";
  const bool latency = mode == "latency";
  const bool away = mode == "away";
  if ((!throughput && !latency && !away) || (latency && argc != 5) ||
      (away && argc != 6) || (throughput && argc != 4) || seconds <= 0)
    return usage();
  const double rate = throughput ? 0 : std::atof(argv[4]);  // events/s
  const std::size_t max_events =
      away ? static_cast<std::size_t>(std::atoll(argv[5])) : 100000;

  events::derive_options derive;
  derive.reader_name = "bench";
  derive.instance = "bench";
  derive.hold = kHold;
  events::outbox_limits limits;
  limits.max_events = max_events;
  events::event_output output(derive, limits);
  output.state_changed({reader_change::connected, "", utc_now_ms()});
  output.state_changed({reader_change::inventory_started, "", utc_now_ms()});

  // The subscriber first, so that it misses nothing.
  mosquitto_lib_init();
  subscriber_state sub;
  std::vector<steady::time_point> sent;
  if (latency) {
    sent.resize(static_cast<std::size_t>(rate / 2 * (seconds + 5)) + 1);
    sub.sent = &sent;
  } else {
    sub.sent = nullptr;
  }
  mosquitto* m = nullptr;
  if (!away) {
    m = mosquitto_new("bench-subscriber", true, &sub);
    mosquitto_connect_callback_set(m, &on_connect);
    mosquitto_subscribe_callback_set(m, &on_subscribe);
    mosquitto_message_callback_set(m, &on_message);
    if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
      std::fprintf(stderr, "mqtt_events: no broker at 127.0.0.1:%d\n", port);
      return 1;
    }
    const auto deadline = steady::now() + std::chrono::seconds(5);
    while (!sub.subscribed && steady::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!sub.subscribed) {
      std::fprintf(stderr, "mqtt_events: no subscription\n");
      return 1;
    }
  }

  events::mqtt_options options;
  options.host = "127.0.0.1";
  options.port = static_cast<std::uint16_t>(port);
  options.topic_prefix = kTopic;
  options.client_id = "korvo-bench";
  options.reader_name = "bench";
  events::mqtt_publisher publisher(options, output);
  std::string error;
  if (!publisher.start(error)) {
    std::fprintf(stderr, "mqtt_events: %s\n", error.c_str());
    return 1;
  }

  std::uint64_t next = 0;  // the next tag's serial
  const auto start = steady::now();
  const auto end = start + std::chrono::seconds(seconds);
  if (throughput) {
    // Two seconds to settle, then the count over the measured time.
    const auto warm = start + std::chrono::seconds(2);
    const auto stop = warm + std::chrono::seconds(seconds);
    std::uint64_t at_warm = 0;
    std::uint64_t sent_at_warm = 0;
    bool warmed = false;
    while (steady::now() < stop) {
      if (!warmed && steady::now() >= warm) {
        at_warm = sub.events;
        sent_at_warm = output.figures().sent;
        warmed = true;
      }
      if (output.figures().events < max_events / 2) {
        for (int i = 0; i < 500; ++i) output.sighted(sighting_of(next++));
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
    const std::uint64_t got = sub.events - at_warm;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu_s =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
            1e6;
    const events::outbox_figures f = output.figures();
    std::printf(
        "throughput: %.0f events/s received over %d s (%llu events; the "
        "publisher handed %.0f events/s to libmosquitto; %llu tags fed, "
        "arrived + departed each; outbox bound %zu, dropped %llu, waiting "
        "at the end %zu)\n"
        "  this process (driver, event output, publisher, subscriber) used "
        "%.1f s of CPU in %.1f s: %.1f us per event received\n",
        static_cast<double>(got) / seconds, seconds,
        static_cast<unsigned long long>(got),
        static_cast<double>(f.sent - sent_at_warm) / seconds,
        static_cast<unsigned long long>(next), max_events,
        static_cast<unsigned long long>(f.dropped), f.events, cpu_s,
        std::chrono::duration<double>(steady::now() - start).count(),
        cpu_s * 1e6 / static_cast<double>(sub.events));
  } else {
    // Paced: tag k is due at start + k / (rate / 2).
    const double tags_per_s = rate / 2;
    auto next_report = start + std::chrono::seconds(10);
    while (steady::now() < end) {
      const auto due =
          start + std::chrono::duration_cast<steady::duration>(
                      std::chrono::duration<double>(next / tags_per_s));
      if (steady::now() < due) {
        std::this_thread::sleep_until(due);
        continue;
      }
      if (latency) sent[next] = steady::now();
      output.sighted(sighting_of(next++));
      if (away && steady::now() >= next_report) {
        away_report(output, start);
        next_report += std::chrono::seconds(10);
      }
    }
    if (away) away_report(output, start);
    if (latency) {
      std::this_thread::sleep_for(std::chrono::seconds(1));  // the last ones
      std::lock_guard lock(sub.mutex);
      auto& l = sub.latencies_ms;
      std::sort(l.begin(), l.end());
      if (l.empty()) {
        std::printf("latency: no events received\n");
        return 1;
      }
      std::printf(
          "latency at %.0f events/s for %d s: %zu of %llu arrivals "
          "received; median %.2f ms, p99 %.2f ms, max %.2f ms\n",
          rate, seconds, l.size(), static_cast<unsigned long long>(next),
          l[l.size() / 2], l[std::min(l.size() - 1, l.size() * 99 / 100)],
          l.back());
    }
  }
  publisher.stop();
  if (m) {
    mosquitto_loop_stop(m, true);
    mosquitto_destroy(m);
  }
  return 0;
}
