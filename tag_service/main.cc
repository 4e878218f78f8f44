// tag-service: the tag service, simulated or in front of a real reader:
// options and wiring. See tag_service/README.md.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "protocol/tag_protocol.h"
#include "protocol/wire_time.h"
#include "tag_service/events/epcis.h"
#include "tag_service/events/epcis_capture.h"
#include "tag_service/events/event_output.h"
#include "tag_service/events/mqtt_publisher.h"
#include "tag_service/events/read_points.h"
#include "tag_service/model/wire_json.h"
#include "tag_service/readers/llrp/llrp_reader.h"
#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"
#include "tag_service/service/access.h"
#include "tag_service/service/live_view.h"
#include "tag_service/service/log_line.h"
#include "tag_service/service/server.h"
#include "tag_service/service/service.h"
#include "tag_service/service/tls_files.h"

namespace {

constexpr int kDefaultPort = tag_protocol::kDefaultPort;
constexpr int kMostTags = static_cast<int>(tag_service::llrp::most_max_tags);

const char kUsage[] =
    "usage: tag-service [--host ADDR] [--port N] [--scene FILE] [--log]\n"
    "                   [--test-hooks] [--allow-host NAME]...\n"
    "       tag-service [--host ADDR] [--port N] [--log] [--test-hooks]\n"
    "                   [--allow-host NAME]...\n"
    "                   --reader llrp://HOST[:PORT] [--antennas N,N,...]\n"
    "                   [--hold-ms N] [--session 0|1]\n"
    "                   [--access-password-file FILE]\n"
    "                   [--state-file FILE] [--max-tags N]\n"
    "       (either also [--tls-cert FILE --tls-key FILE] [--tokens FILE]\n"
    "                   [--insecure])\n"
    "       tag-service ... --mqtt mqtt[s]://HOST[:PORT] [--name NAME]\n"
    "                   [--mqtt-topic PREFIX] [--mqtt-ca FILE]\n"
    "                   [--mqtt-credentials FILE] [--move-holdoff-ms N]\n"
    "                   [--outbox-events N] [--outbox-bytes N]\n"
    "                   [--field-cycle-ms N]\n"
    "                   [--mqtt-format json|epcis] [--read-points FILE]\n"
    "                   [--epcis-biz-step STEP] [--epcis-disposition DISP]\n"
    "       tag-service ... --epcis-capture URL [--epcis-credentials FILE]\n"
    "                   [--epcis-ca FILE] [--epcis-batch-events N]\n"
    "                   [--epcis-batch-ms N] [--epcis-timeout-ms N]\n"
    "       tag-service --print-demo-scene\n"
    "       tag-service --version\n"
    "\n"
    "Serves the RFID tag service over HTTP, under the path /TagService, with\n"
    "a simulated reader or in front of a real reader over LLRP.\n"
    "\n"
    "  --host ADDR         address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on (default 21645); 0 picks a free\n"
    "                      port. The first line of standard output is always\n"
    "                      the port the service listens on.\n"
    "  --allow-host NAME   answer requests that name this host (repeatable);\n"
    "                      besides it only the listen address, localhost,\n"
    "                      127.0.0.1 and [::1] (with --host 0.0.0.0 or ::,\n"
    "                      any IP address) are answered, others get 421\n"
    "  --scene FILE        what the reader sees (formats and items) from a "
    "JSON\n"
    "                      scene file instead of the built-in demo scene\n"
    "                      (--field FILE is the same)\n"
    "  --print-demo-scene  print the demo scene as a scene file and exit\n"
    "                      (--print-demo-field is the same)\n"
    "  --log               one line per request or reader event on standard\n"
    "                      error\n"
    "  --test-hooks        serve the test hooks under /TagService/test, with\n"
    "                      which anyone who reaches the service can make\n"
    "                      operations fail or wait; off by default\n"
    "  --reader URL        take the field from a real reader over LLRP\n"
    "                      (llrp://HOST[:PORT], port 5084 by default) instead\n"
    "                      of a simulated scene\n"
    "  --antennas LIST     with --reader: the antennas to read with, such as\n"
    "                      1,3 (default all the reader has)\n"
    "  --hold-ms N         with --reader: how long a tag stays in the field\n"
    "                      after it was last seen (default 2000)\n"
    "  --session 0|1       with --reader: the Gen2 session the reader\n"
    "                      inventories in (default 0; 1 where readers share\n"
    "                      a field, with --hold-ms above 5000)\n"
    "  --access-password-file FILE\n"
    "                      with --reader: the access password (8 hex digits)\n"
    "                      that security sets on tags and locks them with\n"
    "  --state-file FILE   with --reader: where the service keeps which tags "
    "it\n"
    "                      secured (needs --access-password-file)\n"
    "  --max-tags N        with --reader: the most tags the service keeps\n"
    "                      (1 to 15000, default 10000); of a larger field\n"
    "                      the strongest are kept and the others counted\n"
    "  --tls-cert FILE     serve HTTPS (TLS 1.2 or later) with this PEM\n"
    "                      certificate (and chain); needs --tls-key\n"
    "  --tls-key FILE      the certificate's PEM private key, unencrypted and\n"
    "                      not open to others (chmod o-rwx)\n"
    "  --tokens FILE       every request needs a token from FILE, sent as\n"
    "                      Authorization: Bearer TOKEN (the live view also\n"
    "                      takes it as an HTTP Basic password); a line per\n"
    "                      token: NAME read|write TOKEN. Re-read on SIGHUP.\n"
    "  --insecure          serve an address that is not loopback without TLS\n"
    "                      or tokens, which is refused otherwise\n"
    "  --mqtt URL          publish tag events to an MQTT broker\n"
    "                      (mqtt://HOST[:PORT], port 1883; mqtts:// for TLS,\n"
    "                      port 8883); the inventory then runs from the start\n"
    "                      and disconnect no longer stops it\n"
    "  --name NAME         the reader's name in events and topics (default\n"
    "                      the host name)\n"
    "  --mqtt-topic PREFIX topics PREFIX/events and PREFIX/status (default\n"
    "                      korvo/NAME)\n"
    "  --mqtt-ca FILE      with mqtts://: the CA certificates to trust\n"
    "                      (default the system's)\n"
    "  --mqtt-credentials FILE\n"
    "                      user name (first line) and password (second line)\n"
    "                      for the broker\n"
    "  --move-holdoff-ms N how long a tag's strongest antenna must stay\n"
    "                      changed before it counts as moved (default 500)\n"
    "  --outbox-events N   events kept while the broker (or the EPCIS\n"
    "                      repository) is away (default 100000); the oldest\n"
    "                      are dropped beyond it\n"
    "  --outbox-bytes N    the same bound in bytes of JSON (default 67108864)\n"
    "  --field-cycle-ms N  simulated reader: the field changes every N ms, so\n"
    "                      that each item arrives, moves and departs in turn\n"
    "  With --mqtt, --hold-ms (default 2000) is also how long a tag stays\n"
    "  unseen before it departs, for the simulated reader too.\n"
    "  --mqtt-format F     json (default): a message per event; epcis: an\n"
    "                      EPCIS 2.0 document per message, of the "
    "ObjectEvents\n"
    "                      of up to 100 events or 250 ms\n"
    "  --read-points FILE  EPCIS: the antennas' read points and the reader's\n"
    "                      business location (JSON; see the README)\n"
    "  --epcis-biz-step STEP\n"
    "                      EPCIS: the CBV business step, a word or a URI\n"
    "                      (default arriving; none leaves it out)\n"
    "  --epcis-disposition DISP\n"
    "                      EPCIS: the CBV disposition, a word or a URI\n"
    "                      (default none: left out)\n"
    "  --epcis-capture URL POST tag events as EPCIS 2.0 documents to a\n"
    "                      repository's capture endpoint (http:// or\n"
    "                      https://, such as https://repo.example/capture);\n"
    "                      with or without --mqtt, each with its own outbox\n"
    "  --epcis-credentials FILE\n"
    "                      user name (first line) and password (second line)\n"
    "                      sent to the repository as HTTP Basic\n"
    "  --epcis-ca FILE     with https://: the CA certificates to trust\n"
    "                      (default the system's)\n"
    "  --epcis-batch-events N\n"
    "                      the most events in one document (default 100)\n"
    "  --epcis-batch-ms N  the longest an event waits for its batch (default\n"
    "                      1000)\n"
    "  --epcis-timeout-ms N\n"
    "                      the longest one request may take (default 10000);\n"
    "                      a batch that fails is sent again, with back-off\n"
    "  --version           print the version and exit\n"
    "  --help              this text\n"
    "\n"
    "The service runs until it gets SIGINT or SIGTERM. Operations, the scene\n"
    "file, the write data syntax (FORMAT:field=value;field=value) and the\n"
    "test hooks are described in tag_service/README.md.\n";

struct options {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  std::string scene_file;
  bool print_demo = false;
  bool log = false;
  bool test_hooks = false;
  bool help = false;
  std::string reader_url;
  std::string antennas;
  int hold_ms = -1;
  int session = -1;
  std::string password_file;
  std::string state_file;
  int max_tags = -1;
  bool version = false;
  std::vector<std::string> allowed_hosts;
  // Who may reach the service.
  std::string tls_cert;
  std::string tls_key;
  std::string tokens_file;
  bool insecure = false;
  struct {
    std::string mqtt_url;
    std::string name;
    std::string topic;
    std::string ca_file;
    std::string credentials_file;
    int move_holdoff_ms = 500;
    long long outbox_events = 100000;
    long long outbox_bytes = 64LL * 1024 * 1024;
    int field_cycle_ms = 0;
  } events;
  // The EPCIS form of the events.
  struct {
    bool mqtt_documents = false;  // --mqtt-format epcis
    std::string read_points_file;
    std::optional<std::string> biz_step;  // as given, "none" included
    std::optional<std::string> disposition;
  } epcis;
  // Tag events to an EPCIS repository's capture endpoint.
  struct {
    std::string url;
    std::string credentials_file;
    std::string ca_file;
    int batch_events = 100;
    int batch_ms = 1000;
    int timeout_ms = 10000;
    bool tuned = false;  // any option but the URL given
  } capture;
};

// The EPCIS options: whether arg is one (all take a value), and setting it.
bool is_epcis_option(std::string_view arg) {
  return arg == "--mqtt-format" || arg == "--read-points" ||
         arg == "--epcis-biz-step" || arg == "--epcis-disposition";
}

bool set_epcis_option(std::string_view arg, std::string_view value,
                      options& o) {
  auto& e = o.epcis;
  if (arg == "--mqtt-format") {
    if (value != "json" && value != "epcis") {
      std::fprintf(stderr, "tag-service: --mqtt-format takes json or epcis\n");
      return false;
    }
    e.mqtt_documents = value == "epcis";
  }
  if (arg == "--read-points") e.read_points_file = value;
  if (arg == "--epcis-biz-step") e.biz_step = value;
  if (arg == "--epcis-disposition") e.disposition = value;
  return true;
}

// Whether the events leave in EPCIS form (by MQTT, to a repository, or
// both).
bool epcis_out(const options& o) {
  return o.epcis.mqtt_documents || !o.capture.url.empty();
}

// The EPCIS capture options: whether arg is one (all take a value), and
// setting it.
bool is_capture_option(std::string_view arg) {
  return arg == "--epcis-capture" || arg == "--epcis-credentials" ||
         arg == "--epcis-ca" || arg == "--epcis-batch-events" ||
         arg == "--epcis-batch-ms" || arg == "--epcis-timeout-ms";
}

bool set_capture_option(std::string_view arg, std::string_view value,
                        options& o) {
  const auto number = [&](int low, int high, int& out) {
    const auto [end, ec] =
        std::from_chars(value.data(), value.data() + value.size(), out);
    if (ec != std::errc() || end != value.data() + value.size() || out < low ||
        out > high) {
      std::fprintf(stderr, "tag-service: %.*s takes a number from %d to %d\n",
                   static_cast<int>(arg.size()), arg.data(), low, high);
      return false;
    }
    return true;
  };
  auto& c = o.capture;
  c.tuned = c.tuned || arg != "--epcis-capture";
  if (arg == "--epcis-capture") c.url = value;
  if (arg == "--epcis-credentials") c.credentials_file = value;
  if (arg == "--epcis-ca") c.ca_file = value;
  if (arg == "--epcis-batch-events") return number(1, 10000, c.batch_events);
  if (arg == "--epcis-batch-ms") return number(10, 600000, c.batch_ms);
  if (arg == "--epcis-timeout-ms") return number(100, 600000, c.timeout_ms);
  return true;
}

// The event options: whether arg is one (all take a value), and setting it.
bool is_event_option(std::string_view arg) {
  return arg == "--mqtt" || arg == "--name" || arg == "--mqtt-topic" ||
         arg == "--mqtt-ca" || arg == "--mqtt-credentials" ||
         arg == "--move-holdoff-ms" || arg == "--outbox-events" ||
         arg == "--outbox-bytes" || arg == "--field-cycle-ms";
}

bool set_event_option(std::string_view arg, std::string_view value,
                      options& o) {
  const auto number = [&](long long low, long long high, auto& out) {
    long long n = 0;
    const auto [end, ec] =
        std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < low ||
        n > high) {
      std::fprintf(stderr,
                   "tag-service: %.*s takes a number from %lld to %lld\n",
                   static_cast<int>(arg.size()), arg.data(), low, high);
      return false;
    }
    out = static_cast<std::remove_reference_t<decltype(out)>>(n);
    return true;
  };
  // Names and prefixes become topics: no wildcards, nothing empty.
  const auto topic_text = [&](std::string& out) {
    if (value.empty() || value.find_first_of("+#") != std::string_view::npos ||
        value.find('\0') != std::string_view::npos) {
      std::fprintf(stderr,
                   "tag-service: %.*s must not be empty nor hold + or #\n",
                   static_cast<int>(arg.size()), arg.data());
      return false;
    }
    out = value;
    return true;
  };
  auto& e = o.events;
  if (arg == "--mqtt") e.mqtt_url = value;
  if (arg == "--name") return topic_text(e.name);
  if (arg == "--mqtt-topic") return topic_text(e.topic);
  if (arg == "--mqtt-ca") e.ca_file = value;
  if (arg == "--mqtt-credentials") e.credentials_file = value;
  if (arg == "--move-holdoff-ms") return number(0, 3600000, e.move_holdoff_ms);
  if (arg == "--outbox-events") return number(1, 100000000, e.outbox_events);
  if (arg == "--outbox-bytes")
    return number(1024, 16LL * 1024 * 1024 * 1024, e.outbox_bytes);
  if (arg == "--field-cycle-ms") return number(1, 3600000, e.field_cycle_ms);
  return true;
}

// Returns false (after a message on standard error) for a bad command line.
bool parse_options(int argc, char** argv, options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool has_value = false;
    if (const auto eq = arg.find('=');
        arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    // Who may reach the service: TLS and tokens.
    if (arg == "--tls-cert" || arg == "--tls-key" || arg == "--tokens") {
      if (!has_value) {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "tag-service: %s needs a value\n", argv[i]);
          return false;
        }
        value = argv[++i];
      }
      (arg == "--tls-cert"  ? o.tls_cert
       : arg == "--tls-key" ? o.tls_key
                            : o.tokens_file) = value;
      continue;
    }
    if (arg == "--insecure" && !has_value) {
      o.insecure = true;
      continue;
    }
    const bool takes_value =
        arg == "--host" || arg == "--port" || arg == "--scene" ||
        arg == "--field" || arg == "--reader" || arg == "--antennas" ||
        arg == "--hold-ms" || arg == "--session" ||
        arg == "--access-password-file" || arg == "--state-file" ||
        arg == "--allow-host" || arg == "--max-tags" || is_event_option(arg) ||
        is_epcis_option(arg) || is_capture_option(arg);
    if (takes_value && !has_value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tag-service: %s needs a value\n", argv[i]);
        return false;
      }
      value = argv[++i];
    } else if (!takes_value && has_value) {
      std::fprintf(stderr, "tag-service: %.*s takes no value\n",
                   static_cast<int>(arg.size()), arg.data());
      return false;
    }
    if (arg == "--host") {
      if (value.empty()) {
        std::fprintf(stderr, "tag-service: --host needs an address\n");
        return false;
      }
      o.host = value;
    } else if (arg == "--port") {
      int port = -1;
      const auto [end, ec] =
          std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port < 0 ||
          port > 65535) {
        std::fprintf(stderr,
                     "tag-service: --port takes a number from 0 to 65535\n");
        return false;
      }
      o.port = port;
    } else if (arg == "--scene" || arg == "--field") {
      o.scene_file = value;
    } else if (arg == "--print-demo-scene" || arg == "--print-demo-field") {
      o.print_demo = true;
    } else if (arg == "--log") {
      o.log = true;
    } else if (arg == "--test-hooks") {
      o.test_hooks = true;
    } else if (arg == "--reader") {
      o.reader_url = value;
    } else if (arg == "--antennas") {
      o.antennas = value;
    } else if (arg == "--hold-ms") {
      int ms = -1;
      const auto [end, ec] =
          std::from_chars(value.data(), value.data() + value.size(), ms);
      if (ec != std::errc() || end != value.data() + value.size() || ms < 1 ||
          ms > 3600000) {
        std::fprintf(
            stderr,
            "tag-service: --hold-ms takes a number from 1 to 3600000\n");
        return false;
      }
      o.hold_ms = ms;
    } else if (arg == "--session") {
      if (value != "0" && value != "1") {
        std::fprintf(stderr, "tag-service: --session takes 0 or 1\n");
        return false;
      }
      o.session = value[0] - '0';
    } else if (arg == "--access-password-file") {
      o.password_file = value;
    } else if (arg == "--state-file") {
      o.state_file = value;
    } else if (arg == "--allow-host") {
      if (value.empty()) {
        std::fprintf(stderr, "tag-service: --allow-host needs a host name\n");
        return false;
      }
      o.allowed_hosts.emplace_back(value);
    } else if (arg == "--max-tags") {
      int n = -1;
      const auto [end, ec] =
          std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || n < 1 ||
          n > kMostTags) {
        std::fprintf(stderr,
                     "tag-service: --max-tags takes a number from 1 to %d\n",
                     kMostTags);
        return false;
      }
      o.max_tags = n;
    } else if (is_event_option(arg)) {
      if (!set_event_option(arg, value, o)) return false;
    } else if (is_epcis_option(arg)) {
      if (!set_epcis_option(arg, value, o)) return false;
    } else if (is_capture_option(arg)) {
      if (!set_capture_option(arg, value, o)) return false;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else {
      std::fprintf(stderr, "tag-service: unknown option %s\n", argv[i]);
      return false;
    }
  }
  const bool reader_options =
      !o.antennas.empty() ||
      (o.hold_ms >= 0 && o.events.mqtt_url.empty() && o.capture.url.empty()) ||
      o.session >= 0 || !o.password_file.empty() || !o.state_file.empty() ||
      o.max_tags >= 0;
  if (o.reader_url.empty() && reader_options) {
    std::fprintf(stderr,
                 "tag-service: --antennas, --hold-ms, --session, "
                 "--access-password-file, --state-file and --max-tags go "
                 "with --reader\n");
    return false;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    std::fprintf(stderr, "tag-service: --tls-cert and --tls-key go together\n");
    return false;
  }
  const auto& e = o.events;
  if (e.mqtt_url.empty() && o.capture.url.empty() && !e.name.empty()) {
    std::fprintf(stderr,
                 "tag-service: --name names the reader in events, which go "
                 "with --mqtt or --epcis-capture\n");
    return false;
  }
  if (e.mqtt_url.empty() &&
      (!e.topic.empty() || !e.ca_file.empty() || !e.credentials_file.empty())) {
    std::fprintf(stderr,
                 "tag-service: --mqtt-topic, --mqtt-ca and "
                 "--mqtt-credentials go with --mqtt\n");
    return false;
  }
  if (o.epcis.mqtt_documents && e.mqtt_url.empty()) {
    std::fprintf(stderr, "tag-service: --mqtt-format goes with --mqtt\n");
    return false;
  }
  if (!epcis_out(o) && (!o.epcis.read_points_file.empty() || o.epcis.biz_step ||
                        o.epcis.disposition)) {
    std::fprintf(stderr,
                 "tag-service: --read-points, --epcis-biz-step and "
                 "--epcis-disposition go with --mqtt-format epcis or "
                 "--epcis-capture\n");
    return false;
  }
  const auto& c = o.capture;
  if (c.url.empty() && c.tuned) {
    std::fprintf(stderr,
                 "tag-service: --epcis-credentials, --epcis-ca, "
                 "--epcis-batch-events, --epcis-batch-ms and "
                 "--epcis-timeout-ms go with --epcis-capture\n");
    return false;
  }
  if (!o.reader_url.empty() && e.field_cycle_ms > 0) {
    std::fprintf(stderr,
                 "tag-service: --field-cycle-ms is for the simulated reader, "
                 "not --reader\n");
    return false;
  }
  if (!o.reader_url.empty() && !o.scene_file.empty()) {
    std::fprintf(stderr,
                 "tag-service: --reader and --scene exclude each other\n");
    return false;
  }
  return true;
}

// The real reader's options from the command line; on failure prints why
// and returns false. The access password is read here and never printed.
bool reader_options(const options& o, tag_service::llrp_reader_options& out) {
  std::string error;
  if (!tag_service::llrp::parse_reader_url(o.reader_url, out.client.address,
                                           error)) {
    std::fprintf(stderr, "tag-service: --reader %s: %s\n", o.reader_url.c_str(),
                 error.c_str());
    return false;
  }
  std::string_view list = o.antennas;
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view one = list.substr(0, comma);
    int antenna = 0;
    const auto [end, ec] =
        std::from_chars(one.data(), one.data() + one.size(), antenna);
    if (ec != std::errc() || end != one.data() + one.size() || antenna < 1 ||
        antenna > 65535) {
      std::fprintf(stderr,
                   "tag-service: --antennas takes antenna numbers from 1 to "
                   "65535, separated by commas\n");
      return false;
    }
    out.client.antennas.push_back(static_cast<std::uint16_t>(antenna));
    list = comma == std::string_view::npos ? "" : list.substr(comma + 1);
  }
  if (o.hold_ms > 0) out.client.hold = std::chrono::milliseconds(o.hold_ms);
  if (o.session >= 0) out.client.session = static_cast<std::uint8_t>(o.session);
  if (o.max_tags > 0)
    out.client.max_tags = static_cast<std::size_t>(o.max_tags);
  if (!o.password_file.empty()) {
    std::uint32_t password = 0;
    std::string warning;
    if (!tag_service::read_access_password(o.password_file, password, error,
                                           warning)) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return false;
    }
    if (!warning.empty()) {
      std::fprintf(stderr, "tag-service: warning: %s\n", warning.c_str());
    }
    out.access_password = password;
  }
  if (!o.state_file.empty() && !out.access_password) {
    std::fprintf(stderr,
                 "tag-service: --state-file keeps tag security, which needs "
                 "an access password: give --access-password-file\n");
    return false;
  }
  // Read here, before the stop signals are blocked: whatever the file is,
  // the service can still be stopped while it starts.
  if (!o.state_file.empty() &&
      !tag_service::read_state_file(o.state_file, out.secured, error)) {
    std::fprintf(stderr, "tag-service: %s\n", error.c_str());
    return false;
  }
  out.state_file = o.state_file;
  if (o.log) {
    // Reader events join the request lines, in the same key=value form.
    // A reader that repeats itself is rate-limited; the next line written
    // says how many were held back.
    auto limit = std::make_shared<tag_service::log_rate_limit>(
        tag_service::kReaderLogPerSecond, tag_service::kReaderLogBurst);
    out.client.log = [limit](const std::string& line) {
      std::uint64_t held_back = 0;
      if (!limit->allow(std::chrono::steady_clock::now(), held_back)) return;
      if (held_back == 0) {
        tag_service::write_log_line({{"event", "reader"}, {"message", line}});
      } else {
        tag_service::write_log_line(
            {{"event", "reader"},
             {"message", line},
             {"suppressed", std::to_string(held_back)}});
      }
    };
  }
  return true;
}

std::uint64_t now_filetime() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return tag_protocol::filetime_from_unix_ns(ns);
}

// Loads the scene to simulate; on failure prints why and returns false.
bool load(const options& o, tag_service::scene& out) {
  std::string text;
  std::string name = "the demo scene";
  if (o.scene_file.empty()) {
    text = tag_service::demo_scene_json();
  } else {
    name = o.scene_file;
    try {
      text = tag_service::read_scene_file(o.scene_file);
    } catch (const tag_service::input_error& e) {
      std::fprintf(stderr, "tag-service: %s\n", e.what());
      return false;
    }
  }
  const nlohmann::json j =
      nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    std::fprintf(stderr, "tag-service: %s is not valid JSON\n", name.c_str());
    return false;
  }
  try {
    out = tag_service::load_scene(j, now_filetime());
  } catch (const tag_service::input_error& e) {
    std::fprintf(stderr, "tag-service: %s: %s\n", name.c_str(), e.what());
    return false;
  }
  return true;
}

// The certificate, key and tokens the options name, checked, and whether
// the address may be served as asked; on failure prints why and returns
// false.
bool access_options(const options& o, tag_service::tls_files& tls,
                    std::unique_ptr<tag_service::access_control>& access) {
  std::string error;
  if (!o.tls_cert.empty()) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    if (!tag_service::load_tls_files(o.tls_cert, o.tls_key, now, tls, error)) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return false;
    }
  }
  if (!o.tokens_file.empty()) {
    std::vector<tag_service::token_entry> tokens;
    if (!tag_service::read_tokens_file(o.tokens_file, tokens, error)) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return false;
    }
    access = std::make_unique<tag_service::access_control>(std::move(tokens));
  }
  if (!tag_service::is_loopback_host(o.host) &&
      (o.tls_cert.empty() || o.tokens_file.empty())) {
    if (!o.insecure) {
      std::fprintf(stderr,
                   "tag-service: %s is not a loopback address: anyone who "
                   "reaches it could read, write and lock tags. Give "
                   "--tls-cert, --tls-key and --tokens, or --insecure to "
                   "serve it open anyway\n",
                   o.host.c_str());
      return false;
    }
    std::fprintf(stderr,
                 "tag-service: warning: serving %s %s (--insecure): anyone "
                 "who reaches it %s\n",
                 o.host.c_str(),
                 o.tls_cert.empty() && o.tokens_file.empty()
                     ? "without TLS or tokens"
                 : o.tls_cert.empty() ? "without TLS"
                                      : "without tokens",
                 o.tokens_file.empty() ? "can read, write and lock tags"
                                       : "can read the tokens on the way");
  }
  return true;
}

// The event output's options from the command line; on failure prints why
// and returns false. The credentials are read here and never printed.
bool event_options(const options& o,
                   tag_service::events::derive_options& derive,
                   tag_service::events::outbox_limits& limits,
                   tag_service::events::mqtt_options& mqtt) {
  std::string error;
  if (!o.events.mqtt_url.empty() &&
      !tag_service::events::parse_mqtt_url(o.events.mqtt_url, mqtt, error)) {
    std::fprintf(stderr, "tag-service: --mqtt %s: %s\n",
                 o.events.mqtt_url.c_str(), error.c_str());
    return false;
  }
  if (!o.events.ca_file.empty() && !mqtt.tls) {
    std::fprintf(stderr, "tag-service: --mqtt-ca goes with mqtts://\n");
    return false;
  }
  if (!o.events.ca_file.empty() && ::access(o.events.ca_file.c_str(), R_OK)) {
    std::fprintf(stderr, "tag-service: cannot read the CA file %s: %s\n",
                 o.events.ca_file.c_str(), std::strerror(errno));
    return false;
  }
  if (!o.events.credentials_file.empty() &&
      !tag_service::events::read_mqtt_credentials(
          o.events.credentials_file, mqtt.user, mqtt.password, error)) {
    std::fprintf(stderr, "tag-service: %s\n", error.c_str());
    return false;
  }
  std::string name = o.events.name;
  if (name.empty()) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
      std::fprintf(stderr,
                   "tag-service: no host name to name the reader by: give "
                   "--name\n");
      return false;
    }
    name = host;
  }
  // A random instance id: event ids stay unique across restarts.
  std::random_device random;
  char instance[20];
  std::snprintf(instance, sizeof instance, "%08x%08x", random(), random());
  derive.reader_name = name;
  derive.instance = instance;
  derive.hold = std::chrono::milliseconds(o.hold_ms > 0 ? o.hold_ms : 2000);
  derive.move_holdoff = std::chrono::milliseconds(o.events.move_holdoff_ms);
  limits.max_events = static_cast<std::size_t>(o.events.outbox_events);
  limits.max_bytes = static_cast<std::size_t>(o.events.outbox_bytes);
  mqtt.ca_file = o.events.ca_file;
  mqtt.reader_name = name;
  mqtt.topic_prefix = o.events.topic.empty() ? "korvo/" + name : o.events.topic;
  mqtt.client_id = "korvo-" + name;
  mqtt.log = [](const std::string& line) {
    tag_service::write_log_line({{"event", "mqtt"}, {"message", line}});
  };
  return true;
}

// The EPCIS context of the reader named name from the command line; on
// failure prints why and returns false.
bool epcis_options(const options& o, const std::string& name,
                   tag_service::events::epcis_context& c) {
  c.reader_name = name;
  std::string error;
  const auto vocabulary = [&](const char* option,
                              const std::optional<std::string>& given,
                              std::string& out, auto check) {
    if (!given) return true;
    out = *given == "none" ? "" : *given;
    if (*given == "none" || check(out, error)) return true;
    std::fprintf(stderr, "tag-service: %s: %s\n", option, error.c_str());
    return false;
  };
  if (!vocabulary("--epcis-biz-step", o.epcis.biz_step, c.biz_step,
                  tag_service::events::check_biz_step) ||
      !vocabulary("--epcis-disposition", o.epcis.disposition, c.disposition,
                  tag_service::events::check_disposition)) {
    return false;
  }
  if (!o.epcis.read_points_file.empty() &&
      !tag_service::events::read_read_points(o.epcis.read_points_file, c,
                                             error)) {
    std::fprintf(stderr, "tag-service: %s\n", error.c_str());
    return false;
  }
  for (const auto& [antenna, point] : c.read_points) {
    std::fprintf(stderr, "tag-service: antenna %u reads at %s%s%s%s\n",
                 static_cast<unsigned>(antenna), point.uri.c_str(),
                 point.alias.empty() ? "" : " (", point.alias.c_str(),
                 point.alias.empty() ? "" : ")");
  }
  return true;
}

// The EPCIS capture's options from the command line; on failure prints why
// and returns false. The credentials are read here and never printed, nor
// is the URL, which might hold something secret in its query.
bool capture_options(const options& o,
                     tag_service::events::capture_options& out) {
  const auto& c = o.capture;
  std::string error;
  std::string shown;
  bool loopback = false;
  if (!tag_service::events::check_capture_url(c.url, shown, loopback, error)) {
    std::fprintf(stderr, "tag-service: --epcis-capture: %s\n", error.c_str());
    return false;
  }
  const bool https = shown.rfind("https://", 0) == 0;
  if (!c.ca_file.empty() && !https) {
    std::fprintf(stderr, "tag-service: --epcis-ca goes with https://\n");
    return false;
  }
  if (!c.ca_file.empty() && ::access(c.ca_file.c_str(), R_OK)) {
    std::fprintf(stderr, "tag-service: cannot read the CA file %s: %s\n",
                 c.ca_file.c_str(), std::strerror(errno));
    return false;
  }
  if (!c.credentials_file.empty()) {
    if (!https && !loopback) {
      std::fprintf(stderr,
                   "tag-service: --epcis-credentials would travel unencrypted "
                   "over http:// to %s: use https://\n",
                   shown.c_str());
      return false;
    }
    if (!tag_service::events::read_mqtt_credentials(c.credentials_file,
                                                    out.user, out.password,
                                                    error, "EPCIS capture")) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return false;
    }
  }
  out.url = c.url;
  out.ca_file = c.ca_file;
  out.batch_events = static_cast<std::size_t>(c.batch_events);
  out.batch_wait = std::chrono::milliseconds(c.batch_ms);
  out.timeout = std::chrono::milliseconds(c.timeout_ms);
  out.connect_timeout = std::min(out.connect_timeout, out.timeout);
  out.log = [](const std::string& line) {
    tag_service::write_log_line({{"event", "epcis"}, {"message", line}});
  };
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (o.version) {
    std::fputs("tag-service " KORVO_VERSION "\n", stdout);
    return 0;
  }
  tag_service::scene scene;
  tag_service::llrp_reader_options llrp_options;
  if (!o.reader_url.empty()) {
    if (!reader_options(o, llrp_options)) return 2;
  } else if (!load(o, scene)) {
    return 2;
  }
  const bool mqtt_out = !o.events.mqtt_url.empty();
  const bool capture_out = !o.capture.url.empty();
  const bool events_out = mqtt_out || capture_out;
  tag_service::events::derive_options derive_options;
  tag_service::events::outbox_limits outbox_limits;
  tag_service::events::mqtt_options mqtt_options;
  if (events_out &&
      !event_options(o, derive_options, outbox_limits, mqtt_options)) {
    return 2;
  }
  tag_service::events::epcis_context epcis_context;
  if (epcis_out(o) &&
      !epcis_options(o, derive_options.reader_name, epcis_context)) {
    return 2;
  }
  if (o.epcis.mqtt_documents)
    mqtt_options.format = tag_service::events::mqtt_format::epcis;
  tag_service::events::capture_options capture_options;
  if (capture_out && !::capture_options(o, capture_options)) return 2;
  if (o.print_demo) {
    std::cout << tag_service::scene_json(scene).dump(2) << "\n";
    return 0;
  }
  tag_service::tls_files tls;
  std::unique_ptr<tag_service::access_control> access;
  if (!access_options(o, tls, access)) return 2;
  const bool exposed = !tag_service::is_loopback_host(o.host) &&
                       (tls.cert_pem.empty() || access == nullptr);

  // SIGINT and SIGTERM are taken by a thread of their own, which stops the
  // server; every other thread inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // SIGHUP re-reads the tokens (systemctl reload sends it); without tokens
  // it changes nothing, rather than ending the service as it would by
  // default.
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Room for the server's connection limit: the usual soft limit of 1024
  // open files is below it.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 4096) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // Events: the outputs outlive the reader that feeds them, the
  // publishers stop before either. Each way out has an output of its own.
  std::unique_ptr<tag_service::events::event_output> event_output;
  if (mqtt_out) {
    tag_service::events::event_formatter format;
    if (o.epcis.mqtt_documents) {
      format = [epcis_context](const tag_service::events::event& e) {
        return tag_service::events::object_event_json(e, epcis_context);
      };
    }
    event_output = std::make_unique<tag_service::events::event_output>(
        derive_options, outbox_limits, std::move(format));
  }
  std::unique_ptr<tag_service::events::event_output> capture_output;
  if (capture_out) {
    capture_output = std::make_unique<tag_service::events::event_output>(
        derive_options, outbox_limits,
        [epcis_context](const tag_service::events::event& e) {
          return tag_service::events::object_event_json(e, epcis_context);
        });
    capture_options.wrap = [](const std::vector<std::string>& events) {
      return tag_service::events::epcis_document(events,
                                                 tag_service::utc_now_ms());
    };
  }
  tag_service::events::observer_fanout both_outputs(
      {event_output.get(), capture_output.get()});
  std::unique_ptr<tag_service::reader> reader;
  try {
    if (o.reader_url.empty()) {
      tag_service::simulated_options simulated;
      simulated.field_cycle =
          std::chrono::milliseconds(o.events.field_cycle_ms);
      simulated.inventory_always = events_out;
      reader = std::make_unique<tag_service::simulated_reader>(std::move(scene),
                                                               simulated);
    } else {
      llrp_options.inventory_always = events_out;
      reader = std::make_unique<tag_service::llrp_reader>(llrp_options);
    }
  } catch (const tag_service::reader_error& e) {
    std::fprintf(stderr, "tag-service: %s\n", e.message.c_str());
    return 2;
  }
  if (event_output && capture_output) {
    reader->observe(&both_outputs);
  } else if (event_output || capture_output) {
    reader->observe(event_output ? event_output.get() : capture_output.get());
  }
  tag_service::service operations(std::move(reader));
  tag_service::server_options server_options;
  server_options.host = o.host;
  server_options.port = o.port;
  server_options.log = o.log;
  server_options.test_hooks = o.test_hooks;
  server_options.allowed_hosts = o.allowed_hosts;
  server_options.tls_cert_pem = std::move(tls.cert_pem);
  server_options.tls_key_pem = std::move(tls.key_pem);
  server_options.access = access.get();
  tag_service::server server(operations, server_options);
  server.add_page(
      tag_service::kLivePagePath,
      {"text/html; charset=utf-8",
       [] { return tag_service::one_part(tag_service::live_page()); },
       tag_service::kLivePagePolicy});
  server.add_page(tag_service::kLiveScriptPath,
                  {"text/javascript; charset=utf-8", [] {
                     return tag_service::one_part(tag_service::live_script());
                   }});
  std::unique_ptr<tag_service::events::mqtt_publisher> publisher;
  if (event_output) {
    publisher = std::make_unique<tag_service::events::mqtt_publisher>(
        mqtt_options, *event_output);
    std::string error;
    if (!publisher->start(error)) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return 2;
    }
  }
  std::unique_ptr<tag_service::events::capture_publisher> capture;
  if (capture_output) {
    capture = std::make_unique<tag_service::events::capture_publisher>(
        capture_options, *capture_output);
    std::string error;
    if (!capture->start(error)) {
      std::fprintf(stderr, "tag-service: %s\n", error.c_str());
      return 2;
    }
  }
  // Pollers share one snapshot, so that open pages cannot crowd out the
  // operations and the reader.
  tag_service::shared_snapshot live_status(
      [&operations, &publisher, &event_output, &capture, &capture_output,
       exposed] {
        // The service's own additions, beside the reader's snapshot.
        tag_service::live_additions added;
        added.insecure = exposed;
        if (publisher) {
          const auto link = publisher->link();
          const auto f = event_output->figures();
          added.events = tag_service::live_events{
              link.broker, link.connected, link.last_error, f.events,
              f.bytes,     f.dropped,      f.sent};
        }
        if (capture) {
          const auto link = capture->link();
          const auto f = capture_output->figures();
          added.capture = tag_service::live_capture{
              link.url,        link.reachable,
              link.last_error, f.events + link.in_batch,
              f.bytes,         f.dropped,
              link.captured,   link.rejected};
        }
        return operations.live_snapshot(now_filetime(), added);
      },
      tag_service::kLiveStatusMaxAge);
  server.add_page(tag_service::kLiveStatusPath,
                  {"application/json", [&live_status] {
                     return tag_service::shared_part(live_status.get());
                   }});

  const int port = server.listen();
  if (port < 0) {
    std::fprintf(stderr, "tag-service: cannot listen on %s port %d\n",
                 o.host.c_str(), o.port);
    return 1;
  }
  // Scripts wait for this line; a service they cannot find is no use.
  if (std::printf("%d\n", port) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tag-service: cannot write the port line: %s\n",
                 std::strerror(errno));
    return 1;
  }
  const bool ipv6 = o.host.find(':') != std::string::npos;
  std::fprintf(stderr, "tag-service: serving %s://%s%s%s:%d%s (%s)\n",
               o.tls_cert.empty() ? "http" : "https", ipv6 ? "[" : "",
               o.host.c_str(), ipv6 ? "]" : "", port, tag_protocol::kBasePath,
               !o.reader_url.empty()  ? o.reader_url.c_str()
               : o.scene_file.empty() ? "demo scene"
                                      : o.scene_file.c_str());

  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    int sig = 0;
    while (sigwait(&stop_signals, &sig) == 0 && sig == SIGHUP && !finished) {
      if (access == nullptr) {
        std::fprintf(stderr,
                     "tag-service: SIGHUP: no --tokens file to re-read\n");
        continue;
      }
      // A token revoked in the file is refused from now on; a file that
      // no longer reads leaves the tokens as they were.
      std::vector<tag_service::token_entry> tokens;
      std::string error;
      if (tag_service::read_tokens_file(o.tokens_file, tokens, error)) {
        const std::size_t n = tokens.size();
        access->replace(std::move(tokens));
        std::fprintf(stderr, "tag-service: re-read %s: %zu tokens\n",
                     o.tokens_file.c_str(), n);
      } else {
        std::fprintf(stderr, "tag-service: %s; the tokens stay as they were\n",
                     error.c_str());
      }
    }
    if (!finished) server.stop();
  });
  server.run();
  finished = true;
  // Lets the stopper go when the server ended on its own.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  if (publisher) publisher->stop();
  if (capture) capture->stop();
  std::fprintf(stderr, "tag-service: stopped\n");
  return 0;
}
