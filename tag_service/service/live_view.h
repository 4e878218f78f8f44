// The live view of the reader and what it sees: one self-contained page for
// a browser, and the read-only snapshot the page polls.
#ifndef KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_
#define KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tag_service/readers/reader.h"

namespace tag_service {

// Where the page and its snapshot are served, outside the protocol's base
// path.
inline constexpr char kLivePagePath[] = "/";
inline constexpr char kLiveStatusPath[] = "/status.json";
inline constexpr char kLiveScriptPath[] = "/live.js";

// What the page may load and run: its own script and inline style, and
// its snapshot; nothing from elsewhere, no inline script, no framing.
inline constexpr char kLivePagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The page (HTML with inline CSS; its script is live_script(), served at
// kLiveScriptPath). It shows the snapshot and polls it once a second; every
// text of the snapshot goes in as text, never as markup. Of a large field
// it shows the first 1000 rows and how many more there are.
std::string_view live_page();
std::string_view live_script();

// Longest last_error the snapshot shows, in bytes.
inline constexpr std::size_t kMaxLastErrorBytes = 1000;

// How old a snapshot pollers may be given: the page polls once a second.
inline constexpr std::chrono::milliseconds kLiveStatusMaxAge{500};

// The link of a service that publishes events, as the snapshot shows it.
struct live_events {
  std::string broker;
  bool connected = false;
  std::string last_error;    // empty: none
  std::uint64_t outbox = 0;  // events waiting
  std::uint64_t outbox_bytes = 0;
  std::uint64_t dropped = 0;
  std::uint64_t sent = 0;
};

// The link to an EPCIS repository, as /status.json shows it.
struct live_capture {
  std::string url;
  bool reachable = false;
  std::string last_error;    // empty: none
  std::uint64_t outbox = 0;  // events waiting, the batch on its way too
  std::uint64_t outbox_bytes = 0;
  std::uint64_t dropped = 0;
  std::uint64_t captured = 0;
  std::uint64_t rejected = 0;
};

// What the service adds to the reader's snapshot: that anyone who can reach
// it may use it, and the links of its event outputs.
struct live_additions {
  bool insecure = false;
  std::optional<live_events> events;
  std::optional<live_capture> capture;
};

// The snapshot: {"capture": {"captured", "dropped", "last_error", "outbox",
// "outbox_bytes", "reachable", "rejected", "url"}, "events": {"broker",
// "connected", "dropped", "last_error", "outbox", "outbox_bytes", "sent"},
// "formats": [FORMAT...], "insecure": true, "items": [ITEM...], "reader":
// {"connected", "inventory", "last_error", "not_shown", "source"}, "time"},
// members in the order of their names, "capture", "events" and "insecure" only
// as added says; formats and items in the protocol's JSON forms, time the
// service's UTC clock as a FILETIME.
std::string live_status(const reader_view& reader,
                        const std::vector<tag_format>& formats,
                        std::uint64_t now_filetime,
                        const live_additions& added = {});

// One snapshot shared by every poller: built anew only when the latest is
// older than max_age, and by one caller at a time; callers that come while
// it is built get the latest (or, when there is none yet, wait for it). So
// however many pages poll, building costs at most one build per max_age and
// the memory of two snapshots. Thread-safe; a failed build throws to its
// caller only.
class shared_snapshot {
 public:
  shared_snapshot(std::function<std::string()> build,
                  std::chrono::milliseconds max_age);
  std::shared_ptr<const std::string> get();

 private:
  const std::function<std::string()> build_;
  const std::chrono::milliseconds max_age_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable built_wake_;
  bool building_ = false;
  std::shared_ptr<const std::string> latest_;
  std::chrono::steady_clock::time_point built_;
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_
