// tag-service: a simulator of the tag service and its reader, for korvo and
// its tests. See tag_service/README.md.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "protocol/tag_protocol.h"
#include "protocol/wire_time.h"
#include "tag_service/field.h"
#include "tag_service/service.h"

namespace {

constexpr int kDefaultPort = tag_protocol::kDefaultPort;
constexpr std::size_t kMaxFieldFileBytes = 16 * 1024 * 1024;

const char kUsage[] =
    "usage: tag-service [--host ADDR] [--port N] [--field FILE] [--log]\n"
    "       tag-service --print-demo-field\n"
    "       tag-service --version\n"
    "\n"
    "Simulates the RFID tag service and its reader over HTTP, under the path\n"
    "/TagService, for korvo and its tests.\n"
    "\n"
    "  --host ADDR         address to listen on (default 127.0.0.1)\n"
    "  --port N            port to listen on (default 21645); 0 picks a free\n"
    "                      port. The first line of standard output is always\n"
    "                      the port the service listens on.\n"
    "  --field FILE        the reader's field from a JSON file instead of the\n"
    "                      built-in demo field (formats and items)\n"
    "  --print-demo-field  print the demo field as a field file and exit\n"
    "  --log               one line per request on standard error\n"
    "  --version           print the version and exit\n"
    "  --help              this text\n"
    "\n"
    "The service runs until it gets SIGINT or SIGTERM. Operations, the field\n"
    "file, the write data syntax (FORMAT:field=value;field=value) and the\n"
    "test hooks (POST /TagService/test/inject) are described in\n"
    "tag_service/README.md.\n";

struct options {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  std::string field_file;
  bool print_demo = false;
  bool log = false;
  bool help = false;
  bool version = false;
};

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
    const bool takes_value =
        arg == "--host" || arg == "--port" || arg == "--field";
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
    } else if (arg == "--field") {
      o.field_file = value;
    } else if (arg == "--print-demo-field") {
      o.print_demo = true;
    } else if (arg == "--log") {
      o.log = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else {
      std::fprintf(stderr, "tag-service: unknown option %s\n", argv[i]);
      return false;
    }
  }
  return true;
}

std::uint64_t now_filetime() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return tag_protocol::filetime_from_unix_ns(ns);
}

// Loads the field to simulate; on failure prints why and returns false.
bool load(const options& o, tag_service::field& out) {
  std::string text;
  std::string name = "the demo field";
  if (o.field_file.empty()) {
    text = tag_service::demo_field_json();
  } else {
    name = o.field_file;
    std::ifstream in(o.field_file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "tag-service: cannot read %s: %s\n",
                   o.field_file.c_str(), std::strerror(errno));
      return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    if (text.size() > kMaxFieldFileBytes) {
      std::fprintf(stderr, "tag-service: %s is larger than %zu bytes\n",
                   o.field_file.c_str(), kMaxFieldFileBytes);
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
    out = tag_service::load_field(j, now_filetime());
  } catch (const tag_service::field_error& e) {
    std::fprintf(stderr, "tag-service: %s: %s\n", name.c_str(), e.what());
    return false;
  }
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
  tag_service::field field;
  if (!load(o, field)) return 2;
  if (o.print_demo) {
    std::cout << tag_service::field_json(field).dump(2) << "\n";
    return 0;
  }

  // SIGINT and SIGTERM are taken by a thread of their own, which stops the
  // server; every other thread inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  tag_service::simulator simulator(std::move(field));
  httplib::Server server;
  simulator.attach(server, o.log);

  int port = o.port;
  if (port == 0) {
    port = server.bind_to_any_port(o.host);
  } else if (!server.bind_to_port(o.host, port)) {
    port = -1;
  }
  if (port < 0) {
    std::fprintf(stderr, "tag-service: cannot listen on %s port %d\n",
                 o.host.c_str(), o.port);
    return 1;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);
  const bool ipv6 = o.host.find(':') != std::string::npos;
  std::fprintf(stderr, "tag-service: serving http://%s%s%s:%d%s (%s)\n",
               ipv6 ? "[" : "", o.host.c_str(), ipv6 ? "]" : "", port,
               tag_protocol::kBasePath,
               o.field_file.empty() ? "demo field" : o.field_file.c_str());

  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    if (finished) return;
    simulator.shut_down();
    // stop() does nothing until the server runs; repeat until it returns.
    while (!finished) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  server.listen_after_bind();
  finished = true;
  // Lets the stopper go when the server ended on its own.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  std::fprintf(stderr, "tag-service: stopped\n");
  return 0;
}
