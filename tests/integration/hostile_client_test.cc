// The tag service against clients that do not play fair: requests that drip
// in, oversized or endless headers, bodies without a usable length, and
// crowds of idle connections, while korvo still gets served. Every case is
// bounded in count and time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/integration/service_process.h"

namespace korvo_test {
namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// A loopback connection to port; -1 when it cannot be made.
int connect_to(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// True while the server keeps s open (it has neither closed nor reset it).
bool still_open(int s) {
  pollfd p = {s, POLLIN, 0};
  if (::poll(&p, 1, 0) == 0) return true;
  char c;
  return ::recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
}

// Sends bytes one at a time, every interval_ms, until the server closes the
// connection or limit_s passes; returns the seconds the server allowed.
double drip(int port, const std::string& bytes, int interval_ms,
            double limit_s) {
  const int s = connect_to(port);
  const auto t0 = clock_type::now();
  std::size_t i = 0;
  while (seconds_since(t0) < limit_s && still_open(s)) {
    ::send(s, bytes.data() + i % bytes.size(), 1, MSG_NOSIGNAL);
    ++i;
    std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
  }
  const double held = seconds_since(t0);
  ::close(s);
  return held;
}

// Raises the open-file limit towards wanted, as far as the hard limit
// allows; returns the limit now in force.
rlim_t raise_open_file_limit(rlim_t wanted) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
  if (files.rlim_cur < wanted) {
    files.rlim_cur = std::min(files.rlim_max, wanted);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  return files.rlim_cur;
}

korvo_result korvo_at(const service_process& svc,
                      std::vector<std::string> args) {
  korvo_run run;
  run.args = std::move(args);
  run.args.push_back("addr");
  run.args.push_back(svc.url());
  run.library = RFID_QEL_LIBRARY;
  run.timeout_ms = 30000;
  return run_korvo(run);
}

// The time of one "formats print" run, which must succeed.
double korvo_seconds(const service_process& svc) {
  const auto t0 = clock_type::now();
  const korvo_result r = korvo_at(svc, {"formats", "print"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  return seconds_since(t0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST(HostileClients, RequestsThatBreakTheLimitsAreRefusedUnread) {
  service_process svc;
  std::string many_headers =
      "GET /TagService/ping HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (int i = 0; i < 5000; ++i)
    many_headers += "X-" + std::to_string(i) + ": v\r\n";
  struct {
    const char* what;
    std::string bytes;
    const char* answer;  // how the answer starts; "" for any 4xx or none
  } cases[] = {
      {"endless header line",
       "GET /TagService/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nX: " +
           std::string(200000, 'a'),
       ""},
      {"too many headers", many_headers + "\r\n", ""},
      {"POST without Content-Length",
       "POST /TagService/tags HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Content-Type: application/json\r\n\r\n"
       "{\"data\": \"1:serial=X\"}",
       "HTTP/1.1 411"},
      {"body over the limit",
       "POST /TagService/tags HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Content-Type: application/json\r\nContent-Length: 65537\r\n"
       "\r\n{\"data\": \"1:serial=X\"}",
       "HTTP/1.1 413"},
      {"wrong method",
       "PUT /TagService/tags HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
       "HTTP/1.1 405"},
  };
  for (const auto& c : cases) {
    const std::string answer =
        raw_exchange(svc.port(), c.bytes, *c.answer != 0 ? 3000 : 1000);
    if (*c.answer != 0) {
      EXPECT_EQ(answer.rfind(c.answer, 0), 0u)
          << c.what << ": " << answer.substr(0, 80);
    } else {
      EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 4", 0) == 0)
          << c.what << ": " << answer.substr(0, 80);
    }
  }
  // None of those bodies ran.
  EXPECT_EQ(svc.state()["calls"]["create"], 0);

  // A range is no concern of the service: the whole JSON answer comes.
  const std::string ranged =
      raw_exchange(svc.port(),
                   "GET /TagService/ping HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: "
                   "bytes=0-3,5-9\r\n\r\n");
  ASSERT_EQ(ranged.rfind("HTTP/1.1 200", 0), 0u) << ranged;
  const auto body = nlohmann::json::parse(
      ranged.substr(ranged.find("\r\n\r\n") + 4), nullptr, false);
  EXPECT_EQ(body["service"], "tag-service") << ranged;
}

TEST(HostileClients, ADrippingRequestIsCutOffInBoundedTime) {
  service_process svc;
  // One byte a second keeps the connection from ever being idle; the whole
  // request still has only its bounded time to arrive.
  const double held =
      drip(svc.port(), "GET /TagService/ping HTTP/1.1\r\nX-Slow: aaaaaaaaaa",
           1000, 20);
  EXPECT_GE(held, 4.0);
  EXPECT_LT(held, 8.0);
  EXPECT_EQ(svc.request("GET", "/ping").status, 200);
}

TEST(HostileClients, AThousandIdleOrSlowConnectionsLeaveKorvoFast) {
  // A thousand, unless a hard limit on open files leaves fewer.
  const int count = static_cast<int>(
      std::min<rlim_t>(1000, raise_open_file_limit(4096) - 100));
  service_process svc;
  std::vector<double> quiet_runs, crowded_runs;
  for (int run = 0; run < 3; ++run) quiet_runs.push_back(korvo_seconds(svc));
  // The service closes idle connections after a few seconds, so each run
  // gets a fresh crowd.
  for (int run = 0; run < 3; ++run) {
    std::vector<int> crowd;
    for (int i = 0; i < count; ++i) {
      const int s = connect_to(svc.port());
      ASSERT_GE(s, 0) << "connection " << i;
      // Every other one starts a request and never finishes it.
      if (i % 2 == 1) {
        ::send(s, "GET /TagService/ping HTTP/1.1\r\nHo", 33, MSG_NOSIGNAL);
      }
      crowd.push_back(s);
    }
    // Time for the service to take in the crowd: the point is a crowd that
    // is there, not one still arriving.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const auto t0 = clock_type::now();
    crowded_runs.push_back(korvo_seconds(svc));
    std::size_t open = 0;
    for (int s : crowd) open += still_open(s) ? 1 : 0;
    // The crowd was still there while korvo ran (unless the run was so
    // slow that the service had rightly closed it).
    if (seconds_since(t0) < 3) {
      EXPECT_GT(open, static_cast<std::size_t>(count) * 9 / 10);
    }
    for (int s : crowd) ::close(s);
  }
  const double quiet = median(quiet_runs);
  const double crowded = median(crowded_runs);
  RecordProperty("quiet_ms", static_cast<int>(quiet * 1000));
  RecordProperty("crowded_ms", static_cast<int>(crowded * 1000));
  // A few tens of milliseconds on a quiet machine; the margin is for a
  // shared, busy one (sanitizers included).
  EXPECT_LT(crowded, quiet * 1.5 + 0.25)
      << quiet << " s -> " << crowded << " s";
}

TEST(HostileClients, AHundredConcurrentKorvoRunsAllSucceed) {
  raise_open_file_limit(4096);
  service_process svc;
  std::atomic<int> failed{0};
  std::vector<std::thread> runs;
  for (int i = 0; i < 100; ++i) {
    runs.emplace_back([&, i] {
      const korvo_result r =
          korvo_at(svc, {"write", "1:serial=B" + std::to_string(i)});
      if (r.code != 0) ++failed;
    });
  }
  for (auto& t : runs) t.join();
  EXPECT_EQ(failed, 0);
  // Every write joined the scene once.
  EXPECT_EQ(svc.state()["items"], 12 + 100);
}

}  // namespace
}  // namespace korvo_test
