#include "tag_service/readers/llrp/client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "tag_service/model/host_port.h"

namespace tag_service::llrp {

namespace {

constexpr std::uint32_t rospec_id = 1;
constexpr auto tick = std::chrono::milliseconds(100);
constexpr auto first_report_wait = std::chrono::milliseconds(1000);

steady_time now() { return std::chrono::steady_clock::now(); }

// Our UTC clock, in microseconds since 1970, for the reader's timestamps.
std::uint64_t utc_now_us() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
}

int ms_until(steady_time deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 100));
}

std::string seconds(std::chrono::milliseconds d) {
  const auto tenths = d.count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

}  // namespace

std::string reader_address::url() const {
  const bool v6 = host.find(':') != std::string::npos;
  return "llrp://" + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

bool parse_reader_url(std::string_view url, reader_address& out,
                      std::string& error) {
  constexpr std::string_view scheme = "llrp://";
  if (url.substr(0, scheme.size()) != scheme) {
    error = "reader URL must start with llrp://";
    return false;
  }
  out.port = default_port;
  if (!parse_host_port(url.substr(scheme.size()), out.host, out.port, error)) {
    error = "reader URL " + error + ": llrp://HOST[:PORT]";
    return false;
  }
  return true;
}

reader_client::reader_client(client_options options)
    : options_(std::move(options)),
      table_(options_.hold, options_.max_tags),
      completer_(options_.max_clock_skew) {
  cause_ = "reader " + options_.address.url() + ": not connected yet";
  inventory_wanted_ = options_.inventory_at_start;
}

reader_client::~reader_client() { stop(); }

void reader_client::log(const std::string& line) const {
  if (options_.log)
    options_.log("reader " + options_.address.url() + ": " + line);
}

void reader_client::start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void reader_client::stop() {
  stopping_ = true;
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool reader_client::ready(std::string& cause) const {
  std::lock_guard lock(mutex_);
  if (!ready_) cause = cause_;
  return ready_;
}

void reader_client::set_down(const std::string& cause) {
  std::lock_guard lock(mutex_);
  ready_ = false;
  cause_ = "reader " + options_.address.url() + ": " + cause;
  changed_.notify_all();
}

void reader_client::run() {
  auto backoff = std::chrono::milliseconds(250);
  while (!stopping_) {
    std::string cause;
    bool was_ready = false;
    try {
      was_ready = session(cause);
    } catch (const std::exception& e) {
      cause = std::string("internal error: ") + e.what();
    }
    {
      std::scoped_lock lock(send_mutex_, mutex_);
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      if (!broken_.empty()) cause = broken_;
    }
    if (stopping_) break;
    set_down(cause);
    log(cause);
    if (was_ready && options_.on_link) options_.on_link(false, cause);
    // Only a link that held for a while starts the back-off afresh: a
    // reader that closes each link right after its handshake is retried
    // ever more slowly, as one that refuses it.
    if (was_ready && now() - ready_since_ >= options_.max_backoff)
      backoff = std::chrono::milliseconds(250);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, backoff, [this] { return stopping_.load(); });
    backoff = std::min(backoff * 2, options_.max_backoff);
  }
  set_down("stopped");
}

void reader_client::break_link(const std::string& cause) {
  std::lock_guard lock(mutex_);
  if (!broken_.empty()) return;
  broken_ = cause;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // the link thread sees the end
  ready_ = false;
  cause_ = "reader " + options_.address.url() + ": " + cause;
  changed_.notify_all();
}

bool reader_client::connect_socket(std::string& cause) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options_.address.port);
  const int rc = ::getaddrinfo(options_.address.host.c_str(), port.c_str(),
                               &hints, &found);
  if (rc != 0) {
    cause = std::string("cannot resolve the host: ") + ::gai_strerror(rc);
    return false;
  }
  const steady_time deadline = now() + options_.connect_timeout;
  int fd = -1;
  cause = "connection timed out";
  for (addrinfo* a = found; a && fd < 0 && now() < deadline; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  a->ai_protocol);
    if (fd < 0) continue;
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        err = ETIMEDOUT;
        while (!stopping_) {
          pollfd p{fd, POLLOUT, 0};
          const int wait = ms_until(deadline);
          if (::poll(&p, 1, wait) > 0) {
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            break;
          }
          if (wait == 0) break;
        }
      }
    }
    if (err != 0) {
      cause = std::string("cannot connect: ") + std::strerror(err);
      // Reachable, but nothing listens on the LLRP port.
      if (err == ECONNREFUSED)
        cause +=
            " (is LLRP switched on in the reader's settings? An Impinj R700 "
            "has its LLRP interface switched off until it is enabled there)";
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::scoped_lock lock(send_mutex_, mutex_);
  fd_ = fd;
  return true;
}

bool reader_client::send_frame(const bytes& frame, std::string& cause) {
  std::lock_guard send_lock(send_mutex_);
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = fd_;
  }
  if (fd < 0) {
    cause = "not connected";
    return false;
  }
  const steady_time deadline = now() + options_.answer_timeout;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n =
        ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      cause = std::string("cannot send: ") + std::strerror(errno);
      break_link(cause);
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    const int wait = ms_until(deadline);
    if (::poll(&p, 1, wait) == 0 && wait == 0) {
      cause = "the reader takes no more data";
      break_link(cause);
      return false;
    }
  }
  return true;
}

bool reader_client::pump(steady_time deadline, std::string& cause) {
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = fd_;
  }
  std::uint8_t buffer[16384];
  do {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, ms_until(deadline));
    if (r < 0 && errno != EINTR) {
      cause = std::string("poll failed: ") + std::strerror(errno);
      return false;
    }
    if (r > 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n == 0) {
        cause = "the reader closed the connection";
        return false;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        cause = std::string("connection lost: ") + std::strerror(errno);
        return false;
      }
      stream_.feed(byte_span(buffer, static_cast<std::size_t>(n)));
      bytes frame;
      std::string reason;
      frame_assembler::result got;
      while ((got = stream_.next(frame, reason)) == frame_assembler::frame) {
        message m;
        if (!decode_message(frame, m, reason)) {
          cause = "malformed message from the reader (" + reason + ")";
          return false;
        }
        heard_ = now();  // any frame shows the reader is alive
        handle(m);
        if (closed_by_reader_) {
          cause = "the reader closed the connection";
          return false;
        }
      }
      if (got == frame_assembler::error) {
        cause = "malformed message from the reader (" + reason + ")";
        return false;
      }
    }
    bool up;
    {
      std::lock_guard lock(mutex_);
      up = ready_;
    }
    // A reader that sends no keepalive is only found dead by a request.
    const auto silence = keepalive_ * options_.missed_keepalives;
    if (up && keepalive_.count() > 0 && now() - heard_ > silence + tick) {
      cause = "no keepalive or other message from the reader for " +
              seconds(silence);
      return false;
    }
    // Back to the caller once something came, so that it sees at once what
    // the messages changed (and a close right after them comes next time).
    if (r > 0) return true;
  } while (now() < deadline);
  return true;
}

void reader_client::handle(message& m) {
  switch (m.type) {
    case msg_keepalive: {
      std::string ignored;  // a failed send shows as a dead link soon after
      send_frame(encode_keepalive_ack(m.id), ignored);
      return;
    }
    case msg_reader_event_notification:
      if (m.event.connection_attempt) {
        attempt_ = m.event.connection_attempt;
        completer_.anchor(m.event, utc_now_us());
      }
      if (m.event.connection_close) closed_by_reader_ = true;
      if (m.event.reader_exception)
        log("exception: " + *m.event.reader_exception);
      return;
    case msg_ro_access_report: {
      const std::uint64_t received = utc_now_us();
      for (tag_report& r : m.reports) completer_.complete(r, received);
      std::lock_guard lock(mutex_);
      const steady_time t = now();
      for (tag_report& r : m.reports) {
        if (!r.results.empty() && access_id_ &&
            r.access_spec_id.value_or(*access_id_) == *access_id_) {
          access_results_.insert(access_results_.end(), r.results.begin(),
                                 r.results.end());
        }
        if (inventory_wanted_ || inventory_starting_) {
          table_.merge(r, t);
          if (options_.on_report) options_.on_report(r);
        }
      }
      ++sightings_;
      changed_.notify_all();
      if (table_.not_kept() > 0 && !field_full_) {
        field_full_ = true;
        log("the field holds more tags than the " +
            std::to_string(table_.max_tags()) +
            " the service keeps; the strongest are kept, the others counted");
      } else if (table_.not_kept() == 0 && field_full_) {
        field_full_ = false;
        log("every tag in the field is kept again");
      }
      return;
    }
    default: {
      std::lock_guard lock(mutex_);
      const auto it = pending_.find(m.id);
      if (it != pending_.end() && !it->second) {
        it->second = std::move(m);
        changed_.notify_all();
      }
      return;
    }
  }
}

bool reader_client::transact(const bytes& frame, std::uint32_t id,
                             message& answer, std::string& cause,
                             std::chrono::milliseconds timeout) {
  if (timeout.count() == 0) timeout = options_.answer_timeout;
  {
    std::lock_guard lock(mutex_);
    pending_[id].reset();
  }
  const auto take = [&] {
    std::lock_guard lock(mutex_);
    auto node = pending_.extract(id);
    if (node.empty() || !node.mapped()) return false;
    answer = std::move(*node.mapped());
    return true;
  };
  if (!send_frame(frame, cause)) {
    take();
    return false;
  }
  const steady_time deadline = now() + timeout;
  if (on_link_thread()) {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (pending_[id]) break;
      }
      if (now() >= deadline) break;
      if (setting_up_ && stopping_) {
        cause = "stopping";
        take();
        return false;
      }
      if (!pump(std::min(deadline, now() + tick), cause)) {
        take();
        return false;
      }
    }
  } else {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline,
                        [&] { return pending_[id].has_value() || !ready_; });
    if (!pending_[id] && !ready_) {
      cause = cause_;
      pending_.erase(id);
      return false;
    }
  }
  if (take()) return true;
  cause = "no answer from the reader within " + seconds(timeout);
  break_link(cause);
  return false;
}

bool reader_client::request(std::uint16_t type, const bytes& frame,
                            std::uint32_t id, std::string& error,
                            std::chrono::milliseconds timeout) {
  static const std::map<std::uint16_t, const char*> names = {
      {msg_get_reader_capabilities, "GET_READER_CAPABILITIES"},
      {msg_set_reader_config, "SET_READER_CONFIG"},
      {msg_add_rospec, "ADD_ROSPEC"},
      {msg_enable_rospec, "ENABLE_ROSPEC"},
      {msg_start_rospec, "START_ROSPEC"},
      {msg_stop_rospec, "STOP_ROSPEC"},
      {msg_delete_rospec, "DELETE_ROSPEC"},
      {msg_add_accessspec, "ADD_ACCESSSPEC"},
      {msg_enable_accessspec, "ENABLE_ACCESSSPEC"},
      {msg_delete_accessspec, "DELETE_ACCESSSPEC"},
      {msg_close_connection, "CLOSE_CONNECTION"},
  };
  const auto name = names.count(type) ? names.at(type) : "request";
  message answer;
  if (!transact(frame, id, answer, error, timeout)) {
    error = std::string(name) + ": " + error;
    return false;
  }
  if (!answer.status.ok()) {
    error = std::string("the reader refused ") + name + " (" +
            answer.status.text() + ")";
    return false;
  }
  return true;
}

bool reader_client::set_up(std::string& cause, capabilities& caps) {
  stream_ = frame_assembler{};
  {
    std::lock_guard lock(mutex_);
    broken_.clear();
  }
  attempt_.reset();
  closed_by_reader_ = false;
  rospec_started_ = false;
  keepalive_ = std::chrono::milliseconds(0);
  completer_.reset();
  if (!connect_socket(cause)) return false;
  heard_ = now();

  // The reader speaks first: it accepts or refuses the connection.
  const steady_time deadline = now() + options_.answer_timeout;
  while (!attempt_ && now() < deadline && !stopping_) {
    if (!pump(std::min(deadline, now() + tick), cause)) return false;
  }
  if (!attempt_) {
    cause = "no connection event from the reader within " +
            seconds(options_.answer_timeout);
    return false;
  }
  if (*attempt_ == 1 || *attempt_ == 2) {
    cause = "the reader refuses the connection: another client holds it";
    return false;
  }
  if (*attempt_ != 0) {
    // 3: a reason other than a connection held; 4: another connection was
    // attempted at the same time. Anything else is no status LLRP defines.
    const char* const why = *attempt_ == 3   ? " for a reason of its own"
                            : *attempt_ == 4 ? ": another connection was tried"
                                             : "";
    cause = std::string("the reader refuses the connection") + why +
            " (status " + std::to_string(*attempt_) + ")";
    return false;
  }

  // A reader set to hold events and reports for a reconnecting client sends
  // none until asked. It has no answer; a reader that does not know it
  // answers with an ERROR_MESSAGE, which no request waits for.
  std::uint32_t id = next_id();
  if (!send_frame(encode_enable_events_and_reports(id), cause)) return false;

  id = next_id();
  message answer;
  if (!transact(encode_get_reader_capabilities(id), id, answer, cause))
    return false;
  if (!answer.status.ok()) {
    cause = "the reader refused GET_READER_CAPABILITIES (" +
            answer.status.text() + ")";
    return false;
  }
  caps = answer.caps;
  if (!caps.c1g2) {
    cause = "the reader does not support Class 1 Gen 2 tags";
    return false;
  }
  for (const auto a : options_.antennas) {
    if (a == 0 || a > caps.max_antennas) {
      cause = "antenna " + std::to_string(a) +
              " is not on the reader (it has " +
              std::to_string(caps.max_antennas) + ")";
      return false;
    }
  }

  // Specs another client left behind: a factory reset need not remove them,
  // and a reader that holds one ROSpec only would refuse ours. A refusal
  // (nothing to delete) is no failure.
  for (const bool rospecs : {false, true}) {
    id = next_id();
    const bytes frame =
        rospecs ? encode_rospec_command(msg_delete_rospec, id, 0)
                : encode_accessspec_command(msg_delete_accessspec, id, 0);
    const std::string name = rospecs ? "DELETE_ROSPEC" : "DELETE_ACCESSSPEC";
    if (!transact(frame, id, answer, cause)) {
      cause = name + ": " + cause;
      return false;
    }
    if (!answer.status.ok()) log(name + " of all: " + answer.status.text());
  }

  const auto keepalive_ms =
      static_cast<std::uint32_t>(options_.keepalive.count());
  id = next_id();
  if (!request(msg_set_reader_config,
               encode_set_reader_config(id, keepalive_ms, options_.session), id,
               cause, options_.reset_timeout))
    return false;
  // The reader may keep a period of its own; that is the one to expect.
  keepalive_ = options_.keepalive;
  id = next_id();
  if (!transact(encode_get_reader_keepalive(id), id, answer, cause))
    return false;
  if (answer.status.ok() && answer.keepalive_ms) {
    keepalive_ = std::chrono::milliseconds(*answer.keepalive_ms);
    if (keepalive_ != options_.keepalive) {
      log(keepalive_.count() == 0
              ? std::string("the reader sends no keepalive")
              : "the reader keeps its keepalive every " + seconds(keepalive_));
    }
  }
  id = next_id();
  if (!request(msg_add_rospec,
               encode_add_rospec(id, rospec_id, options_.antennas), id, cause))
    return false;
  id = next_id();
  if (!request(msg_enable_rospec,
               encode_rospec_command(msg_enable_rospec, id, rospec_id), id,
               cause))
    return false;
  if (inventory_wanted_) {
    id = next_id();
    if (!request(msg_start_rospec,
                 encode_rospec_command(msg_start_rospec, id, rospec_id), id,
                 cause))
      return false;
    rospec_started_ = true;
  }
  return true;
}

bool reader_client::session(std::string& cause) {
  capabilities caps;
  setting_up_ = true;
  const bool up = set_up(cause, caps);
  setting_up_ = false;
  if (!up) return false;
  {
    std::lock_guard lock(mutex_);
    ready_ = true;
    cause_.clear();
    heard_ = ready_since_ = now();
    changed_.notify_all();
  }
  log("connected, " + std::to_string(caps.max_antennas) + " antennas");
  if (options_.on_link) options_.on_link(true, "");

  while (!stopping_) {
    if (!pump(now() + tick, cause)) return true;
  }

  // On the way out: leave the reader as we found it, each step bounded.
  {
    std::lock_guard lock(mutex_);
    ready_ = false;
    cause_ = "reader " + options_.address.url() + ": stopping";
    changed_.notify_all();
  }
  std::string ignored;
  std::uint32_t id = next_id();
  request(msg_stop_rospec,
          encode_rospec_command(msg_stop_rospec, id, rospec_id), id, ignored);
  id = next_id();
  request(msg_delete_rospec,
          encode_rospec_command(msg_delete_rospec, id, rospec_id), id, ignored);
  id = next_id();
  message closed;
  transact(encode_close_connection(id), id, closed, ignored);
  log("connection closed");
  return true;
}

bool reader_client::start_inventory(std::string& error) {
  std::lock_guard serial(inventory_mutex_);
  if (!ready(error)) return false;
  if (inventory_wanted_) return true;
  // Running only once the reader says so: until then a reading is refused,
  // not empty. Reports that come with the answer count already.
  inventory_starting_ = true;
  std::uint64_t before;
  {
    std::lock_guard lock(mutex_);
    before = sightings_;
  }
  const std::uint32_t id = next_id();
  if (!request(msg_start_rospec,
               encode_rospec_command(msg_start_rospec, id, rospec_id), id,
               error)) {
    inventory_starting_ = false;
    std::lock_guard lock(mutex_);
    table_.clear();
    return false;
  }
  inventory_wanted_ = true;
  inventory_starting_ = false;
  // A reading right after the start should not come back empty for want
  // of a first report: wait a little for one (an empty field sends none).
  std::unique_lock lock(mutex_);
  changed_.wait_for(
      lock,
      std::min<std::chrono::milliseconds>(options_.hold, first_report_wait),
      [&] { return sightings_ != before || !ready_; });
  return true;
}

bool reader_client::stop_inventory(std::string& error) {
  std::lock_guard serial(inventory_mutex_);
  const bool was = inventory_wanted_.exchange(false);
  {
    std::lock_guard lock(mutex_);
    table_.clear();
  }
  std::string cause;
  if (!was || !ready(cause)) return true;  // nothing runs on the reader
  const std::uint32_t id = next_id();
  return request(msg_stop_rospec,
                 encode_rospec_command(msg_stop_rospec, id, rospec_id), id,
                 error);
}

std::vector<seen_tag> reader_client::tags() { return current_field().tags; }

reader_client::field reader_client::current_field() {
  std::lock_guard lock(mutex_);
  if (!inventory_wanted_) return {};
  field f;
  f.tags = table_.current(now());
  f.not_kept = table_.not_kept();
  return f;
}

bool reader_client::run_access(const bytes& target,
                               const std::vector<access_op>& ops,
                               std::vector<op_result>& results,
                               std::string& error,
                               std::chrono::milliseconds timeout) {
  std::lock_guard serial(access_mutex_);
  if (!ready(error)) return false;
  std::uint32_t access_spec;
  {
    std::lock_guard lock(mutex_);
    access_spec = ++access_spec_ids_;
    access_id_ = access_spec;
    access_results_.clear();
  }
  const auto finish = [&] {
    {
      std::lock_guard lock(mutex_);
      access_id_.reset();
    }
    // The reader drops an AccessSpec that ran its one operation; deleting it
    // again is harmless, and needed when it never ran.
    std::string ignored;
    const std::uint32_t id = next_id();
    request(msg_delete_accessspec,
            encode_accessspec_command(msg_delete_accessspec, id, access_spec),
            id, ignored);
  };
  std::uint32_t id = next_id();
  if (!request(msg_add_accessspec,
               encode_add_accessspec(id, access_spec, target, ops), id,
               error)) {
    finish();
    return false;
  }
  id = next_id();
  if (!request(
          msg_enable_accessspec,
          encode_accessspec_command(msg_enable_accessspec, id, access_spec), id,
          error)) {
    finish();
    return false;
  }
  bool done;
  {
    std::unique_lock lock(mutex_);
    done = changed_.wait_for(lock, timeout, [&] {
      return access_results_.size() >= ops.size() || !ready_;
    });
    done = done && access_results_.size() >= ops.size();
    if (!done) error = ready_ ? "" : cause_;
    results = access_results_;
  }
  finish();
  if (!done) {
    if (error.empty())
      error = "no answer from the tag within " + seconds(timeout);
    return false;
  }
  // In the order of the operations asked for.
  std::vector<op_result> ordered;
  for (const access_op& op : ops) {
    for (const op_result& r : results) {
      if (r.op_spec_id == op.op_spec_id) {
        ordered.push_back(r);
        break;
      }
    }
  }
  if (ordered.size() != ops.size()) {
    error = "the reader reported results of other operations";
    return false;
  }
  results = std::move(ordered);
  return true;
}

void reader_client::forget(const bytes& epc, std::uint16_t bits) {
  std::lock_guard lock(mutex_);
  table_.erase(epc, bits);
}

bool reader_client::await_sighting(const bytes& epc,
                                   std::chrono::milliseconds timeout) {
  const steady_time since = now();
  const auto bits = static_cast<std::uint16_t>(epc.size() * 8);
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    const seen_tag* t = table_.find(epc, bits);
    return t != nullptr && t->last_local >= since;
  });
}

}  // namespace tag_service::llrp
