// The live view of the reader and what it sees: one self-contained page for
// a browser, and the read-only snapshot the page polls.
#ifndef KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_
#define KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_

#include <cstdint>
#include <nlohmann/json.hpp>
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

// The snapshot: {"reader": {"source", "connected", "inventory",
// "last_error", "not_shown"}, "formats": [FORMAT...], "items": [ITEM...],
// "time"}, with
// formats and items in the protocol's JSON forms and time the service's UTC
// clock as a FILETIME.
nlohmann::json live_status(const reader_view& reader,
                           const std::vector<tag_format>& formats,
                           std::uint64_t now_filetime);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_LIVE_VIEW_H_
