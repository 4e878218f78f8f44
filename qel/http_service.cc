#include "qel/http_service.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace rfid_qel {
namespace {

using clock_type = std::chrono::steady_clock;

// Stops the client's request once the whole request has taken longer than
// its limit. The per-read and per-write timeouts of the client bound each
// wait, but not a service that keeps answering a byte at a time; this bounds
// the request as a whole. The client's stop() is the one call it allows from
// another thread: it shuts the socket down and the request fails.
class request_deadline {
 public:
  request_deadline(httplib::Client& client, std::chrono::milliseconds limit)
      : thread_([this, &client, limit] { watch(client, limit); }) {}
  ~request_deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  request_deadline(const request_deadline&) = delete;
  request_deadline& operator=(const request_deadline&) = delete;

  bool expired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return expired_;
  }

 private:
  void watch(httplib::Client& client, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, limit, [this] { return done_; })) return;
    expired_ = true;
    // A stop that lands while the connection is still being set up finds no
    // socket to shut down, so repeat until the request gives up.
    while (!done_) {
      lock.unlock();
      client.stop();
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(50),
                     [this] { return done_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool expired_ = false;
  std::thread thread_;  // last: it starts once the fields above exist
};

std::string service_message(const nlohmann::json& answer) {
  if (!answer.is_object()) return {};
  const auto e = answer.find("error");
  if (e == answer.end() || !e->is_object()) return {};
  const auto m = e->find("message");
  if (m == e->end() || !m->is_string()) return {};
  return m->get<std::string>();
}

template <typename Reply = service_reply>
Reply failure(std::int32_t status, std::string message) {
  Reply r;
  r.status = status;
  r.message = std::move(message);
  return r;
}

service_text send_request(const service_address& address, const char* method,
                          const std::string& path, const nlohmann::json* body) {
  const std::string url = address.display() + path;
  const request_limits& limits = address.limits;

  httplib::Client client(address.host, address.port);
  client.set_connection_timeout(std::chrono::milliseconds(limits.connect_ms));
  client.set_read_timeout(std::chrono::milliseconds(limits.io_ms));
  client.set_write_timeout(std::chrono::milliseconds(limits.io_ms));
  client.set_keep_alive(false);
  client.set_follow_location(false);

  httplib::Request request;
  request.method = method;
  request.path = address.base_path + path;
  request.set_header("Accept", "application/json");
  if (body != nullptr) {
    request.body = body->dump();
    request.set_header("Content-Type", "application/json");
  }
  std::string answer;
  bool too_large = false;
  request.content_receiver = [&](const char* data, std::size_t n,
                                 std::uint64_t offset, std::uint64_t total) {
    if (answer.size() + n > kMaxAnswerBytes) {
      too_large = true;
      return false;
    }
    // An answer with a Content-Length is received into room made once.
    if (offset == 0 && total > n && total <= kMaxAnswerBytes) {
      answer.reserve(static_cast<std::size_t>(total));
    }
    answer.append(data, n);
    return true;
  };

  httplib::Response response;
  httplib::Error error = httplib::Error::Success;
  const auto started = clock_type::now();
  bool sent = false;
  bool expired = false;
  {
    request_deadline deadline(client,
                              std::chrono::milliseconds(limits.total_ms()));
    sent = client.send(request, response, error);
    expired = deadline.expired();
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          clock_type::now() - started)
                          .count();

  if (too_large) {
    return failure<service_text>(
        status_bad_answer,
        "the tag service at " + url +
            " sent an answer larger than the session accepts (" +
            std::to_string(kMaxAnswerBytes) + " bytes)");
  }
  if (expired) {
    return failure<service_text>(status_timed_out,
                                 "the tag service at " + url +
                                     " did not finish its answer within " +
                                     std::to_string(limits.total_ms()) + " ms");
  }
  if (!sent) {
    switch (error) {
      case httplib::Error::Connection:
        return failure<service_text>(
            status_unreachable, "cannot connect to the tag service at " + url);
      case httplib::Error::ConnectionTimeout:
        return failure<service_text>(
            status_timed_out, "cannot connect to the tag service at " + url +
                                  " within " +
                                  std::to_string(limits.connect_ms) + " ms");
      case httplib::Error::Read:
      case httplib::Error::Write:
        // The client does not tell a timeout from a closed connection; the
        // time spent does.
        if (waited + 50 >= limits.io_ms) {
          return failure<service_text>(
              status_timed_out, "the tag service at " + url +
                                    " did not answer within " +
                                    std::to_string(limits.io_ms) + " ms");
        }
        return failure<service_text>(
            status_unreachable, "the connection to the tag service at " + url +
                                    " broke before a complete answer");
      default:
        return failure<service_text>(
            status_unreachable, "the request to the tag service at " + url +
                                    " failed: " + httplib::to_string(error));
    }
  }

  if (response.status < 200 || response.status > 299) {
    std::string detail = service_message(
        nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false));
    if (detail.empty()) detail = "no reason given";
    return failure<service_text>(status_service_error,
                                 "the tag service at " + url + " answered " +
                                     std::to_string(response.status) + ": " +
                                     detail);
  }
  service_text ok;
  ok.text = std::move(answer);
  return ok;
}

// Runs fetch, turning every exception into a failure that names the URL.
template <typename Reply, typename Fetch>
Reply guarded(const service_address& address, const std::string& path,
              Fetch fetch) {
  try {
    return fetch();
  } catch (const std::bad_alloc&) {
    return failure<Reply>(status_internal,
                          "out of memory while asking the tag "
                          "service at " +
                              address.display() + path);
  } catch (const std::exception& e) {
    return failure<Reply>(
        status_internal, "the request to the tag service at " +
                             address.display() + path + " failed: " + e.what());
  } catch (...) {
    return failure<Reply>(status_internal,
                          "the request to the tag service at " +
                              address.display() + path + " failed");
  }
}

}  // namespace

service_text fetch_service(const service_address& address, const char* method,
                           const std::string& path,
                           const nlohmann::json* body) {
  return guarded<service_text>(
      address, path, [&] { return send_request(address, method, path, body); });
}

service_reply call_service(const service_address& address, const char* method,
                           const std::string& path,
                           const nlohmann::json* body) {
  return guarded<service_reply>(address, path, [&] {
    service_text text = send_request(address, method, path, body);
    if (text.status != status_ok) {
      return failure(text.status, std::move(text.message));
    }
    service_reply ok;
    ok.body =
        nlohmann::json::parse(text.text, nullptr, /*allow_exceptions=*/false);
    if (!ok.body.is_object()) {
      return failure(status_bad_answer,
                     "the tag service at " + address.display() + path +
                         " sent an answer that is not a JSON object");
    }
    return ok;
  });
}

}  // namespace rfid_qel
