// A client that drives one reader over its TCP link: it connects, checks the
// reader, configures one continuous-inventory ROSpec, keeps the link alive,
// merges the reader's reports into a tag table and runs tag operations. The
// link lives on a thread of its own and is reconnected with back-off when it
// fails. Every public call is thread-safe, bounded in time and throws nothing.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_CLIENT_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_CLIENT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tag_service/readers/llrp/messages.h"
#include "tag_service/readers/llrp/tag_table.h"

namespace tag_service::llrp {

inline constexpr std::uint16_t default_port = 5084;

struct reader_address {
  std::string host;
  std::uint16_t port = default_port;
  std::string url() const;  // llrp://host:port, for messages
};
// Parses llrp://HOST[:PORT] (an IPv6 host in brackets). False with a reason
// for anything else.
bool parse_reader_url(std::string_view url, reader_address& out,
                      std::string& error);

struct client_options {
  reader_address address;
  std::vector<std::uint16_t> antennas;  // empty: all the reader has
  std::chrono::milliseconds hold{2000};
  // Gen2 session the reader singulates in: 0 or 1, where a tag that stays
  // in the field answers every round or every few seconds. (In the
  // persistent sessions 2 and 3 a tag in the field answers once.)
  std::uint8_t session = 0;
  std::size_t max_tags = default_max_tags;  // places of the tag table
  std::chrono::milliseconds connect_timeout{3000};
  std::chrono::milliseconds answer_timeout{3000};  // per request
  // The factory reset, which takes real readers many seconds.
  std::chrono::milliseconds reset_timeout{20000};
  // Asked of the reader; the reader's own period, if it keeps one, counts.
  std::chrono::milliseconds keepalive{1000};
  // With no frame at all for this many periods the link is dead.
  int missed_keepalives = 3;
  // A reader timestamp further than this from our clock is not believed.
  std::chrono::milliseconds max_clock_skew{30000};
  std::chrono::milliseconds max_backoff{5000};
  std::function<void(const std::string&)> log;  // may be empty
  // The inventory runs from the start (as if start_inventory had been
  // called as soon as the link was up).
  bool inventory_at_start = false;
  // Hear each tag report as it is merged, and the link coming up (cause
  // empty) or going down after it was up (with the cause). Called on the
  // link thread, the first with the client's lock held: they must return
  // at once. May be empty.
  std::function<void(const tag_report&)> on_report;
  std::function<void(bool up, const std::string& cause)> on_link;
};

class reader_client {
 public:
  explicit reader_client(client_options options);
  ~reader_client();  // stop()
  reader_client(const reader_client&) = delete;
  reader_client& operator=(const reader_client&) = delete;

  // Starts the link thread; it keeps trying until stop().
  void start();
  // Leaves the reader tidy (ROSpec stopped and deleted, connection closed),
  // each step bounded, and joins the thread.
  void stop();

  // True while the link is up and configured; else cause names the reader
  // and why it is not usable.
  bool ready(std::string& cause) const;

  // Starts or stops the inventory (and keeps it so across reconnects).
  // Starting waits up to a second for the first report; stopping forgets
  // the tags seen. False with a message on failure.
  bool start_inventory(std::string& error);
  bool stop_inventory(std::string& error);
  bool inventory_running() const { return inventory_wanted_; }

  // The tags seen within the hold time (none while the inventory is off).
  std::vector<seen_tag> tags();
  // The field as tags() shows it, and how many more tags the reader
  // reported within the hold time than the table has places for.
  struct field {
    std::vector<seen_tag> tags;
    std::size_t not_kept = 0;
  };
  field current_field();

  // Runs the operations once on the tag whose EPC is target and returns
  // their results in order, or false with a message (no tag answered in
  // time, the reader refused the AccessSpec, the link failed).
  bool run_access(const bytes& target, const std::vector<access_op>& ops,
                  std::vector<op_result>& results, std::string& error,
                  std::chrono::milliseconds timeout);

  // Drops the EPC from the tags seen (a tag that was just given another).
  void forget(const bytes& epc, std::uint16_t bits);

  // Waits until a report of the EPC arrives after this call (or timeout).
  bool await_sighting(const bytes& epc, std::chrono::milliseconds timeout);

 private:
  void run();
  bool session(std::string& cause);  // one connection, until it fails
  bool connect_socket(std::string& cause);
  bool send_frame(const bytes& frame, std::string& cause);
  // Reads and handles what the reader sends, until deadline or a failure.
  bool pump(steady_time deadline, std::string& cause);
  void handle(message& m);
  // Sends a request and waits for the response with the same id, up to
  // timeout (0: the answer timeout). From the link thread it pumps; from
  // others it waits for the link thread.
  bool transact(
      const bytes& frame, std::uint32_t id, message& answer, std::string& cause,
      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  bool request(
      std::uint16_t type, const bytes& frame, std::uint32_t id,
      std::string& error,
      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  // Connects and sets the reader up; false with a cause.
  bool set_up(std::string& cause, capabilities& caps);
  std::uint32_t next_id() { return ++last_id_; }
  void set_down(const std::string& cause);
  // Ends the link from any thread: a send or an answer that timed out
  // leaves the stream out of step, so the link thread reconnects.
  void break_link(const std::string& cause);
  void log(const std::string& line) const;
  bool on_link_thread() const {
    return std::this_thread::get_id() == thread_.get_id();
  }

  client_options options_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> inventory_wanted_{false};    // the ROSpec runs
  std::atomic<bool> inventory_starting_{false};  // reports count meanwhile
  std::mutex inventory_mutex_;                   // one start or stop at a time
  std::atomic<std::uint32_t> last_id_{0};

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  int fd_ = -1;
  bool ready_ = false;
  std::string cause_;
  std::map<std::uint32_t, std::optional<message>> pending_;
  tag_table table_;
  std::uint64_t sightings_ = 0;  // reports merged, to wait for new ones
  std::optional<std::uint32_t> access_id_;  // the AccessSpec running
  std::vector<op_result> access_results_;
  std::uint32_t access_spec_ids_ = 0;
  std::string broken_;       // why break_link ended the link; empty: it did not
  bool field_full_ = false;  // the table turned tags away (for the log)

  // Link thread only.
  frame_assembler stream_;
  steady_time heard_{};                   // last frame from the reader
  std::optional<std::uint16_t> attempt_;  // the connection attempt's status
  bool closed_by_reader_ = false;
  bool rospec_started_ = false;
  bool setting_up_ = false;  // stop() cuts waits short while setting up
  // The keepalive period the reader keeps (0: it sends none).
  std::chrono::milliseconds keepalive_{0};
  report_completer completer_;
  steady_time ready_since_{};

  std::mutex send_mutex_;    // one frame at a time on the socket
  std::mutex access_mutex_;  // one AccessSpec at a time
};

}  // namespace tag_service::llrp

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_CLIENT_H_
