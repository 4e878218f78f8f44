#include "qel/http_service.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>

#include "platform/pages.h"
#include "qel/answer_decoder.h"
#include "qel/credentials.h"

namespace rfid_qel {
namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// libcurl is set up once per process, before the first handle, with TLS
// for https:// services.
bool curl_ready() {
  static const bool ready = curl_global_init(CURL_GLOBAL_SSL) == CURLE_OK;
  return ready;
}

// The handles of one thread. The multi handle owns the connection cache, so
// consecutive requests of the thread reuse a kept-alive connection; the
// handles are freed when the thread ends.
struct thread_handles {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  thread_handles() = default;
  thread_handles(const thread_handles&) = delete;
  thread_handles& operator=(const thread_handles&) = delete;
  ~thread_handles() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
  }
  bool ready() {
    if (!curl_ready()) return false;
    if (multi == nullptr) multi = curl_multi_init();
    if (easy == nullptr) easy = curl_easy_init();
    return multi != nullptr && easy != nullptr;
  }
};

thread_handles& this_thread_handles() {
  thread_local thread_handles handles;
  return handles;
}

struct curl_headers {
  curl_slist* list = nullptr;
  ~curl_headers() { curl_slist_free_all(list); }
  bool add(const char* line) {
    curl_slist* next = curl_slist_append(list, line);
    if (next == nullptr) return false;
    list = next;
    return true;
  }
};

// What the callbacks collect while the answer comes in.
struct transfer {
  std::string body;
  std::size_t header_bytes = 0;
  bool body_too_large = false;
  bool headers_too_large = false;
  clock_type::time_point last_byte;
  CURL* easy = nullptr;
};

std::size_t on_body(char* data, std::size_t, std::size_t n, void* user) {
  auto* t = static_cast<transfer*>(user);
  t->last_byte = clock_type::now();
  if (n > kMaxAnswerBytes - t->body.size()) {
    t->body_too_large = true;
    return 0;  // anything but n stops the transfer
  }
  try {
    if (t->body.empty()) {
      // An answer that says its length is received into room made once.
      curl_off_t length = -1;
      curl_easy_getinfo(t->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length > 0 && static_cast<std::size_t>(length) <= kMaxAnswerBytes) {
        t->body.reserve(static_cast<std::size_t>(length));
        // A reading of megabytes is filled to its end: large pages spare
        // most of its page faults and cost no memory.
        korvo::advise_large_pages(t->body.data(), t->body.capacity());
      }
    }
    if (n > t->body.capacity() - t->body.size()) {
      // An answer sent in chunks does not say its length: its room grows
      // fourfold from 1 MiB, so that a reading of megabytes is copied a
      // few times, not at every doubling. Room not yet filled is never
      // touched, so it costs no memory; large pages would (a filled room
      // is rounded up to them), so none are asked for here.
      const std::size_t need = t->body.size() + n;
      std::size_t room = std::max<std::size_t>(t->body.capacity() * 4,
                                               std::size_t{1} << 20);
      room = std::min(std::max(room, need), kMaxAnswerBytes);
      t->body.reserve(room);
    }
    t->body.append(data, n);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return n;
}

std::size_t on_header(char* data, std::size_t, std::size_t n, void* user) {
  static_cast<void>(data);
  auto* t = static_cast<transfer*>(user);
  t->last_byte = clock_type::now();
  t->header_bytes += n;
  if (t->header_bytes > kMaxHeaderBytes) {
    t->headers_too_large = true;
    return 0;
  }
  return n;
}

// The request's URL for libcurl: what the user gave, with the bytes a URL
// may not carry as they are (the path is printable ASCII) percent-encoded.
std::string curl_url(const service_address& address, const std::string& path) {
  const std::string whole = address.base_path + path;
  std::string out =
      service_address{address.tls, address.host, address.port, "", {}}
          .display();
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : whole) {
    switch (c) {
      case '"':
      case '<':
      case '>':
      case '\\':
      case '^':
      case '`':
      case '{':
      case '|':
      case '}':
        out += '%';
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 15];
        break;
      default:
        out += c;
    }
  }
  return out;
}

// libcurl's own words for a failure.
std::string curl_detail(const char* error_text, CURLcode result) {
  return error_text[0] != 0 ? std::string(error_text)
                            : curl_easy_strerror(result);
}

answer_text failure(std::int32_t status, std::string message) {
  answer_text r;
  r.status = status;
  r.message = std::move(message);
  return r;
}

// Why the session gave up waiting, when it was the session.
enum class gave_up { no, idle, whole };

bool set_options(CURL* easy, const service_address& address,
                 const std::string& url, const char* method,
                 const std::string* body, curl_slist* headers, transfer& t,
                 char* error_text) {
  const request_limits& limits = address.limits;
  // Read and write limits are whole seconds for libcurl's speed check.
  const long io_seconds = std::max(1L, (limits.io_ms + 999L) / 1000L);
  bool ok = true;
  auto set = [&ok](CURLcode c) { ok = ok && c == CURLE_OK; };
  set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR,
                       address.tls ? "https" : "http"));
  set(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                       address.tls ? "https" : "http"));
  if (address.tls) {
    // The service proves who it is, always: its certificate chains to a
    // trusted CA (the system's, or only those in KORVO_CA_FILE) and names
    // the host asked for. There is no way to skip this.
    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    set(curl_easy_setopt(easy, CURLOPT_SSLVERSION,
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    if (const char* ca = std::getenv("KORVO_CA_FILE"); ca != nullptr && *ca) {
      set(curl_easy_setopt(easy, CURLOPT_CAINFO, ca));
      set(curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr));
    }
  }
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  // The service is asked directly: a proxy named in the environment
  // (http_proxy and the like) is not used.
  set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                       static_cast<long>(limits.connect_ms)));
  set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                       static_cast<long>(limits.total_ms())));
  set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kMinBytesPerSecond));
  set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, io_seconds));
  set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(kMaxAnswerBytes)));
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body));
  set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t));
  set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header));
  set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t));
  set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_text));
  if (std::string_view(method) == "POST") {
    // A POST always says its length, also when it has no body.
    const std::string& text = body != nullptr ? *body : std::string();
    set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(text.size())));
    set(curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, text.c_str()));
  } else {
    set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
  }
  return ok;
}

answer_text send_request(const service_address& address, const char* method,
                         const std::string& path, const std::string* body,
                         request_effect effect) {
  const std::string url = address.display() + path;
  const request_limits& limits = address.limits;
  thread_handles& handles = this_thread_handles();
  if (!handles.ready()) {
    return failure(status_internal,
                   "the HTTP client could not be set up for " + url);
  }
  CURL* easy = handles.easy;
  curl_easy_reset(easy);
  service_token token;
  std::string token_error;
  if (!find_service_token(address.host, token, token_error)) {
    return failure(status_service_error, "no token for the tag service at " +
                                             url + ": " + token_error);
  }
  curl_headers headers;
  // Every POST says its body is JSON, also one without a body: the service
  // refuses a POST that does not (a browser's page of another site could
  // send it).
  if (!headers.add("Accept: application/json") || !headers.add("Expect:") ||
      (std::string_view(method) == "POST" &&
       !headers.add("Content-Type: application/json")) ||
      (!token.token.empty() &&
       !headers.add(("Authorization: Bearer " + token.token).c_str()))) {
    throw std::bad_alloc();
  }
  transfer t;
  t.easy = easy;
  char error_text[CURL_ERROR_SIZE] = {};
  if (!set_options(easy, address, curl_url(address, path), method, body,
                   headers.list, t, error_text)) {
    return failure(status_internal,
                   "the HTTP client refused the request to " + url);
  }

  // The session runs the transfer itself, so that it can hold every wait
  // for data to the read limit in milliseconds and the whole request to its
  // total.
  const auto started = clock_type::now();
  const auto whole_end = started + milliseconds(limits.total_ms());
  const milliseconds io(limits.io_ms);
  bool sent = false;
  gave_up why = gave_up::no;
  CURLcode result = CURLE_OK;
  bool finished = false;
  CURLM* multi = handles.multi;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    return failure(status_internal,
                   "the HTTP client refused the request to " + url);
  }
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
      if (m->msg == CURLMSG_DONE && m->easy_handle == easy) {
        result = m->data.result;
        finished = true;
      }
    }
    if (!sent) {
      long request_bytes = 0;
      curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &request_bytes);
      if (request_bytes > 0) {
        sent = true;
        t.last_byte = clock_type::now();
      }
    }
    if (finished || running == 0) break;
    const auto now = clock_type::now();
    if (now >= whole_end) {
      why = gave_up::whole;
      break;
    }
    auto wake = whole_end;
    if (sent) {
      if (now - t.last_byte >= io) {
        why = gave_up::idle;
        break;
      }
      wake = std::min(wake, t.last_byte + io);
    }
    const auto wait = std::chrono::duration_cast<milliseconds>(wake - now);
    curl_multi_poll(
        multi, nullptr, 0,
        static_cast<int>(std::clamp<long long>(wait.count() + 1, 1, 1000)),
        nullptr);
  }
  curl_multi_remove_handle(multi, easy);
  const auto waited = clock_type::now() - started;

  // A request that may have changed something and then failed: the service
  // may have carried it out.
  const std::string unknown =
      sent && effect == request_effect::changes
          ? "; the service may have carried out the request"
          : "";
  if (t.body_too_large || result == CURLE_FILESIZE_EXCEEDED) {
    return failure(status_bad_answer,
                   "the tag service at " + url +
                       " sent an answer larger than the session accepts (" +
                       std::to_string(kMaxAnswerBytes) + " bytes)" + unknown);
  }
  if (t.headers_too_large) {
    return failure(status_bad_answer,
                   "the tag service at " + url +
                       " sent headers larger than the session accepts (" +
                       std::to_string(kMaxHeaderBytes) + " bytes)" + unknown);
  }
  const std::string did_not_finish = "the tag service at " + url +
                                     " did not finish its answer within " +
                                     std::to_string(limits.total_ms()) + " ms";
  const std::string did_not_answer = "the tag service at " + url +
                                     " did not answer within " +
                                     std::to_string(limits.io_ms) + " ms";
  if (why == gave_up::whole) {
    if (!sent) {
      return failure(status_timed_out, "cannot connect to the tag service at " +
                                           url + " within " +
                                           std::to_string(limits.connect_ms) +
                                           " ms");
    }
    return failure(status_timed_out, did_not_finish + unknown);
  }
  if (why == gave_up::idle) {
    return failure(status_timed_out, did_not_answer + unknown);
  }
  if (!finished) {
    return failure(status_internal,
                   "the HTTP client failed on the request to " + url);
  }
  switch (result) {
    case CURLE_OK:
      break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
      return failure(status_unreachable,
                     "cannot connect to the tag service at " + url);
    case CURLE_PEER_FAILED_VERIFICATION:
      return failure(status_unreachable,
                     "the tag service at " + url +
                         " did not prove who it is, so nothing was sent to "
                         "it (" +
                         curl_detail(error_text, result) +
                         "); its certificate must name the host and chain "
                         "to a CA the system trusts or one in the file "
                         "KORVO_CA_FILE names");
    case CURLE_SSL_CACERT_BADFILE:
      return failure(status_unreachable,
                     "cannot use the CA certificates for the tag service at " +
                         url + " (" + curl_detail(error_text, result) +
                         "); check the file KORVO_CA_FILE names");
    case CURLE_SSL_CONNECT_ERROR:
      return failure(status_unreachable,
                     "the TLS handshake with the tag service at " + url +
                         " failed (" + curl_detail(error_text, result) + ")");
    case CURLE_OPERATION_TIMEDOUT:
      if (!sent) {
        return failure(status_timed_out,
                       "cannot connect to the tag service at " + url +
                           " within " + std::to_string(limits.connect_ms) +
                           " ms");
      }
      if (waited + milliseconds(50) >= milliseconds(limits.total_ms())) {
        return failure(status_timed_out, did_not_finish + unknown);
      }
      if (clock_type::now() - t.last_byte + milliseconds(50) >= io) {
        return failure(status_timed_out, did_not_answer + unknown);
      }
      return failure(
          status_timed_out,
          "the tag service at " + url + " sent its answer too slowly (under " +
              std::to_string(kMinBytesPerSecond) + " bytes a second for " +
              std::to_string(limits.io_ms) + " ms)" + unknown);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return failure(status_unreachable,
                     "the connection to the tag service at " + url +
                         " broke before a complete answer" + unknown);
    case CURLE_OUT_OF_MEMORY:
      // libcurl also says this of a header line longer than it holds.
      if (sent) {
        return failure(status_bad_answer,
                       "the tag service at " + url +
                           " sent headers larger than the session accepts (" +
                           std::to_string(kMaxHeaderBytes) + " bytes)" +
                           unknown);
      }
      return failure(status_internal,
                     "out of memory while asking the tag service at " + url);
    case CURLE_WRITE_ERROR:
      // Only the body callback refuses, and only for want of memory.
      return failure(status_internal,
                     "out of memory while asking the tag service at " + url);
    default:
      if (sent) {
        return failure(status_bad_answer,
                       "the tag service at " + url +
                           " sent an answer that is not HTTP the session "
                           "reads (" +
                           curl_detail(error_text, result) + ")" + unknown);
      }
      return failure(status_unreachable,
                     "the request to the tag service at " + url +
                         " failed: " + curl_easy_strerror(result));
  }

  long code = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
  if (code < 200 || code > 299) {
    std::string detail = service_error_message(t.body);
    if (detail.empty()) detail = "no reason given";
    if ((code == 401 || code == 403) && !token.token.empty()) {
      return failure(status_service_error,
                     "the service refused the token from " + token.source +
                         " for " + url + " (" + std::to_string(code) + ": " +
                         detail + ")");
    }
    if (code == 401) {
      return failure(status_service_error,
                     "the tag service at " + url +
                         " needs a token (401: " + detail +
                         "); name a file holding it in KORVO_TOKEN_FILE, or "
                         "add 'machine " +
                         address.host + " password TOKEN' to ~/.netrc");
    }
    return failure(status_service_error,
                   "the tag service at " + url + " answered " +
                       std::to_string(code) + ": " + detail);
  }
  answer_text ok;
  ok.text = std::move(t.body);
  return ok;
}

}  // namespace

answer_text fetch_answer_text(const service_address& address,
                              const char* method, const std::string& path,
                              const std::string* body, request_effect effect) {
  try {
    return send_request(address, method, path, body, effect);
  } catch (const std::bad_alloc&) {
    return failure(status_internal,
                   "out of memory while asking the tag "
                   "service at " +
                       address.display() + path);
  }
}

}  // namespace rfid_qel
