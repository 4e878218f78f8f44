#include "tag_service/events/epcis_capture.h"

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <span>

namespace tag_service::events {
namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kTick{100};        // departures, moves, batch times
constexpr milliseconds kStopBound{2000};  // sending what waits at stop
constexpr std::size_t kAnswerKept = 64 * 1024;

// libcurl wants one global init per process before any handle.
bool init_library() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

// One part of a parsed URL; empty when it has none.
std::string url_part(CURLU* u, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(u, part, &text, 0) != CURLUE_OK || text == nullptr)
    return "";
  std::string s = text;
  curl_free(text);
  return s;
}

std::size_t keep_answer(char* data, std::size_t size, std::size_t n, void* to) {
  auto* answer = static_cast<std::string*>(to);
  const std::size_t bytes = size * n;
  if (answer->size() < kAnswerKept)
    answer->append(data, std::min(bytes, kAnswerKept - answer->size()));
  return bytes;  // the rest is read and dropped
}

}  // namespace

bool check_capture_url(std::string_view url, std::string& shown, bool& loopback,
                       std::string& error) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(),
                                                              curl_url_cleanup);
  if (!u || curl_url_set(u.get(), CURLUPART_URL, std::string(url).c_str(), 0) !=
                CURLUE_OK) {
    error =
        "the capture URL must be http://HOST[:PORT]/PATH or "
        "https://HOST[:PORT]/PATH";
    return false;
  }
  const std::string scheme = url_part(u.get(), CURLUPART_SCHEME);
  const std::string host = url_part(u.get(), CURLUPART_HOST);
  // libcurl reads "http:///x" as the host x; a user who wrote it meant
  // something else.
  const auto slashes = url.find("://");
  if ((scheme != "http" && scheme != "https") || host.empty() ||
      slashes == std::string_view::npos || url.substr(slashes + 3, 1) == "/") {
    error =
        "the capture URL must be http://HOST[:PORT]/PATH or "
        "https://HOST[:PORT]/PATH";
    return false;
  }
  if (!url_part(u.get(), CURLUPART_USER).empty() ||
      !url_part(u.get(), CURLUPART_PASSWORD).empty()) {
    error =
        "the capture URL must not hold a user or password: give them in "
        "--epcis-credentials";
    return false;
  }
  if (!url_part(u.get(), CURLUPART_FRAGMENT).empty()) {
    error = "the capture URL must not have a #fragment";
    return false;
  }
  const std::string port = url_part(u.get(), CURLUPART_PORT);
  shown = scheme + "://" + host + (port.empty() ? "" : ":" + port) +
          url_part(u.get(), CURLUPART_PATH);
  loopback =
      host == "localhost" || host.rfind("127.", 0) == 0 || host == "[::1]";
  return true;
}

capture_verdict judge_capture(bool answered, long status) {
  if (!answered) return capture_verdict::retry;
  if (status >= 200 && status <= 299) return capture_verdict::done;
  // The repository is away or busy: the same batch may well be taken
  // later. Every other answer says the batch itself is wrong, however
  // often it is sent.
  if (status >= 500 || status == 408 || status == 429 || status < 200)
    return capture_verdict::retry;
  return capture_verdict::rejected;
}

bool batch_due(std::size_t waiting, std::size_t batch_events,
               milliseconds waited, milliseconds batch_wait) {
  return waiting > 0 && (waiting >= batch_events || waited >= batch_wait);
}

std::string answer_excerpt(std::string_view body, std::size_t max) {
  const bool cut = body.size() > max;
  std::string s(body.substr(0, max));
  for (char& c : s) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  if (cut) s += "...";
  return s;
}

struct capture_publisher::request {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string body;
  std::string answer;
  char failure[CURL_ERROR_SIZE] = {};
  ~request() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

capture_publisher::capture_publisher(capture_options options,
                                     event_output& events)
    : options_(std::move(options)), events_(events) {
  bool loopback = false;
  std::string error;
  if (!check_capture_url(options_.url, shown_url_, loopback, error))
    shown_url_ = "(bad URL)";
  link_.url = shown_url_;
}

capture_publisher::~capture_publisher() {
  stop();
  if (multi_) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void capture_publisher::log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

capture_link capture_publisher::link() const {
  std::lock_guard lock(mutex_);
  return link_;
}

bool capture_publisher::start(std::string& error) {
  if (!init_library() || (multi_ = curl_multi_init()) == nullptr) {
    error = "cannot set up libcurl for the EPCIS capture";
    return false;
  }
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void capture_publisher::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (multi_) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (thread_.joinable()) thread_.join();
}

void capture_publisher::wait(milliseconds d) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, d, [&] { return stopping_.load(); });
}

void capture_publisher::run() {
  CURLM* const multi = static_cast<CURLM*>(multi_);
  std::vector<std::string> batch;
  std::unique_ptr<request> running;
  milliseconds backoff = options_.min_backoff;
  clock::time_point retry_at = clock::now();
  // Since when events wait for a batch; max(): none waits.
  clock::time_point waiting_since = clock::time_point::max();
  std::optional<clock::time_point> stop_by;
  bool failed_at_stop = false;
  clock::time_point next_tick = clock::now();
  std::uint64_t dropped_logged = 0;

  const auto set_link = [&](auto change) {
    std::lock_guard lock(mutex_);
    change(link_);
    link_.in_batch = batch.size();
  };
  const auto begin = [&](clock::time_point now) {
    auto r = std::make_unique<request>();
    r->body = options_.wrap(batch);
    r->easy = curl_easy_init();
    for (const char* h :
         {"Content-Type: application/ld+json", "GS1-EPCIS-Version: 2.0.0",
          "GS1-CBV-Version: 2.0.0", "Expect:"})
      r->headers = curl_slist_append(r->headers, h);
    if (!r->easy || !r->headers) return std::unique_ptr<request>();
    milliseconds total = options_.timeout;
    if (stop_by) {
      total = std::min(
          total, std::chrono::duration_cast<milliseconds>(*stop_by - now) +
                     milliseconds(1));
    }
    CURL* e = r->easy;
    curl_easy_setopt(e, CURLOPT_URL, options_.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r->body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(r->body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "tag-service");
    curl_easy_setopt(
        e, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(std::min(options_.connect_timeout, total).count()));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(total.count()));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.ca_file.empty())
      curl_easy_setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
    if (!options_.user.empty()) {
      curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
      curl_easy_setopt(e, CURLOPT_USERNAME, options_.user.c_str());
      curl_easy_setopt(e, CURLOPT_PASSWORD, options_.password.c_str());
    }
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &keep_answer);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r->answer);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->failure);
    if (curl_multi_add_handle(multi, e) != CURLM_OK)
      return std::unique_ptr<request>();
    return r;
  };
  // One attempt's end: the batch done, rejected or kept for a retry.
  const auto end = [&](request& r, CURLcode result, clock::time_point now) {
    long status = 0;
    curl_easy_getinfo(r.easy, CURLINFO_RESPONSE_CODE, &status);
    const bool answered = result == CURLE_OK && status > 0;
    const std::size_t n = batch.size();
    switch (judge_capture(answered, status)) {
      case capture_verdict::done: {
        bool was_failing = false;
        batch.clear();
        set_link([&](capture_link& l) {
          was_failing = !l.last_error.empty();
          l.reachable = true;
          l.last_error.clear();
          l.captured += n;
        });
        if (was_failing) log(shown_url_ + ": capturing again");
        backoff = options_.min_backoff;
        return;
      }
      case capture_verdict::rejected: {
        const std::string why = "the repository refused " + std::to_string(n) +
                                " events with " + std::to_string(status) +
                                ": " + answer_excerpt(r.answer);
        batch.clear();
        set_link([&](capture_link& l) {
          l.reachable = true;
          l.last_error = "refused with " + std::to_string(status);
          l.rejected += n;
        });
        log(shown_url_ + ": " + why);
        backoff = options_.min_backoff;
        return;
      }
      case capture_verdict::retry: {
        std::string why;
        if (answered) {
          why = "the repository answered " + std::to_string(status) + ": " +
                answer_excerpt(r.answer, 120);
        } else {
          why = r.failure[0] != '\0' ? std::string(r.failure)
                                     : std::string(curl_easy_strerror(result));
        }
        set_link([&](capture_link& l) {
          l.reachable = false;
          l.last_error = why;
        });
        if (stop_by) {
          failed_at_stop = true;
          log(shown_url_ + ": " + why);
          return;
        }
        log(shown_url_ + ": " + why + "; " + std::to_string(n) +
            " events again in " + std::to_string(backoff.count()) + " ms");
        retry_at = now + backoff;
        backoff = std::min(backoff * 2, options_.max_backoff);
        return;
      }
    }
  };

  for (;;) {
    const clock::time_point now = clock::now();
    if (stopping_ && !stop_by) {
      // Stopping: what waits goes now, without retries, within a bound.
      stop_by = now + kStopBound;
      next_tick = now;
      retry_at = now;
    }
    if (now >= next_tick) {
      events_.tick(utc_now_ms());
      next_tick = now + kTick;
      const outbox_figures f = events_.figures();
      if (f.dropped != dropped_logged) {
        log("capture outbox full: " +
            std::to_string(f.dropped - dropped_logged) + " events dropped (" +
            std::to_string(f.dropped) + " since the start)");
        dropped_logged = f.dropped;
      }
    }
    if (!running) {
      const std::size_t waiting = events_.figures().events;
      if (stop_by && (failed_at_stop || now >= *stop_by ||
                      (batch.empty() && waiting == 0)))
        break;
      if (batch.empty()) {
        if (waiting == 0) {
          waiting_since = clock::time_point::max();
        } else if (waiting_since == clock::time_point::max()) {
          waiting_since = now;
        }
        if (waiting > 0 &&
            (stop_by || batch_due(waiting, options_.batch_events,
                                  std::chrono::duration_cast<milliseconds>(
                                      now - waiting_since),
                                  options_.batch_wait))) {
          events_.hand_over_batch(options_.batch_events, utc_now_ms(),
                                  [&](std::span<const std::string> texts) {
                                    batch.assign(texts.begin(), texts.end());
                                    return true;
                                  });
          waiting_since = clock::time_point::max();
          set_link([](capture_link&) {});
        }
      }
      if (!batch.empty() && now >= retry_at) {
        running = begin(now);
        if (!running) {
          log(shown_url_ + ": cannot make a request; again in " +
              std::to_string(kTick.count()) + " ms");
          retry_at = now + kTick;
        }
      }
    }
    if (!running) {
      if (stop_by) {
        std::this_thread::sleep_for(milliseconds(10));
      } else {
        wait(kTick);
      }
      continue;
    }
    int active = 0;
    curl_multi_perform(multi, &active);
    int left = 0;
    bool ended = false;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
      if (m->msg != CURLMSG_DONE || m->easy_handle != running->easy) continue;
      curl_multi_remove_handle(multi, running->easy);
      end(*running, m->data.result, clock::now());
      ended = true;
    }
    if (ended) {
      running.reset();
      continue;
    }
    if (stop_by && clock::now() >= *stop_by) break;
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(kTick.count()),
                    nullptr);
  }
  if (running) curl_multi_remove_handle(multi, running->easy);
  const std::size_t left = batch.size() + events_.figures().events;
  if (left > 0) {
    log(shown_url_ + ": stopped with " + std::to_string(left) +
        " events not sent");
  }
}

}  // namespace tag_service::events
