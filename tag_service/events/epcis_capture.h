// The EPCIS capture publisher: takes a reader's events (ObjectEvent texts)
// from its own event_output and POSTs them, wrapped in EPCISDocuments, to
// an EPCIS 2.0 repository's capture endpoint, in batches bounded by a count
// and a time. A batch is done when the repository answers 2xx; it is
// retried with back-off, whole and in order, after 5xx, 408, 429, a timeout
// or a failed connection; any other answer (4xx) rejects it for good,
// counted and logged with the start of the repository's answer. Events wait
// in the outbox meanwhile, which bounds memory. The link lives on a thread
// of its own and never holds up the reader.
#ifndef KORVO_TAG_SERVICE_EVENTS_EPCIS_CAPTURE_H_
#define KORVO_TAG_SERVICE_EVENTS_EPCIS_CAPTURE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tag_service/events/event_output.h"

namespace tag_service::events {

struct capture_options {
  std::string url;      // http:// or https:// capture endpoint
  std::string ca_file;  // with https: the CA certificates to trust (empty:
                        // the system's)
  std::string user;     // empty: no credentials; else HTTP Basic
  std::string password;
  std::size_t batch_events = 100;              // most events per document
  std::chrono::milliseconds batch_wait{1000};  // longest an event waits
  std::chrono::milliseconds timeout{10000};    // per request, all of it
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds min_backoff{250};
  std::chrono::milliseconds max_backoff{10000};
  // ObjectEvent texts to one EPCISDocument's text.
  std::function<std::string(const std::vector<std::string>&)> wrap;
  std::function<void(const std::string&)> log;  // may be empty
};

// Checks a capture URL: http:// or https://, a host, no user or password
// in it (those come from a file). Sets shown to the URL as logs and the
// status show it: scheme, host, port and path, without query. False with a
// reason otherwise.
bool check_capture_url(std::string_view url, std::string& shown, bool& loopback,
                       std::string& error);

// What becomes of a batch after one attempt.
enum class capture_verdict { done, retry, rejected };
// answered: an HTTP answer came, with this status; otherwise the request
// failed on the way (connection, TLS, timeout) and is retried.
capture_verdict judge_capture(bool answered, long status);

// Whether the waiting events make a batch now: as many as a batch holds,
// or the first of them has waited the batch time.
bool batch_due(std::size_t waiting, std::size_t batch_events,
               std::chrono::milliseconds waited,
               std::chrono::milliseconds batch_wait);

// The start of a repository's answer, fit for one log line: at most max
// bytes, anything but printable ASCII as '?', cut with "...".
std::string answer_excerpt(std::string_view body, std::size_t max = 300);

// The link as the status and the live view show it.
struct capture_link {
  std::string url;             // as check_capture_url shows it
  bool reachable = false;      // the last attempt got a 2xx or 4xx answer
  std::string last_error;      // empty: none
  std::uint64_t captured = 0;  // events in batches the repository took
  std::uint64_t rejected = 0;  // events in batches it refused (4xx)
  std::size_t in_batch = 0;    // events of the batch on its way
};

class capture_publisher {
 public:
  capture_publisher(capture_options options, event_output& events);
  ~capture_publisher();  // stop()
  capture_publisher(const capture_publisher&) = delete;
  capture_publisher& operator=(const capture_publisher&) = delete;

  // Starts the link thread. False with a reason when libcurl cannot be
  // set up.
  bool start(std::string& error);
  // Sends what waits within a bound of a few seconds (no retries), then
  // joins the thread.
  void stop();

  capture_link link() const;

 private:
  struct request;
  void run();
  void wait(std::chrono::milliseconds d);
  void log(const std::string& line) const;

  capture_options options_;
  event_output& events_;
  std::string shown_url_;
  void* multi_ = nullptr;  // CURLM
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards link_, for wake_
  std::condition_variable wake_;
  capture_link link_;
};

}  // namespace tag_service::events

#endif  // KORVO_TAG_SERVICE_EVENTS_EPCIS_CAPTURE_H_
