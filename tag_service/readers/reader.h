// Where the reader's world comes from: the formats it knows, the items it
// sees, and what it does to tags. The service's operations and its HTTP
// server see a reader only through this interface, so that a simulated
// scene and a real reader are interchangeable behind them.
#ifndef KORVO_TAG_SERVICE_READERS_READER_H_
#define KORVO_TAG_SERVICE_READERS_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tag_service/model/model.h"

namespace tag_service {

// A refused or failed reader operation: the HTTP status the service
// answers with and a message for the client.
struct reader_error {
  int status = 500;
  std::string message;
};

// A tag that joined the reader's world, and the item it joined as.
struct written_tag {
  tag written;
  std::string item_id;
};

// What the reader holds right now, for the test hooks' view.
struct reader_status {
  bool connected = false;
  std::size_t items = 0;
  std::size_t pending = 0;  // created, not yet written
};

// The reader as the live view shows it: where it is, what it is doing, and
// the items it sees (also while it is disconnected: the last ones seen).
struct reader_view {
  std::string source = "simulated";  // "simulated", or the reader's address
  bool connected = false;
  bool inventory = false;  // tags are being read
  std::string last_error;  // empty: none
  std::vector<item> items;
  // Tags in the field beyond what the reader keeps (the items leave them
  // out).
  std::size_t not_shown = 0;
};

// One sighting of a tag, as a reader hands it to its observer.
struct sighting {
  item seen;           // the item with its one tag (id: the EPC in hex)
  std::string scheme;  // the EPC scheme ("sgtin-96", "raw"), or "simulated"
  std::uint16_t antenna = 0;     // 0: not known
  std::optional<int> peak_rssi;  // dBm
  std::int64_t time_ms = 0;      // UTC, milliseconds since 1970
};

// A change of the reader's state, as a reader hands it to its observer.
enum class reader_change {
  connected,
  disconnected,
  inventory_started,
  inventory_stopped
};
struct reader_state_change {
  reader_change change = reader_change::connected;
  std::string cause;  // why, for a disconnection; else empty
  std::int64_t time_ms = 0;
};

// Who hears sightings and state changes as a reader has them. Called on the
// reader's own threads, possibly several at once; it must return at once
// (never wait for I/O), since the reader waits for it.
class reader_observer {
 public:
  virtual ~reader_observer() = default;
  virtual void sighted(const sighting& s) = 0;
  virtual void state_changed(const reader_state_change& c) = 0;
};

// Every operation may be called from several threads at once. Failures
// throw reader_error.
class reader {
 public:
  virtual ~reader() = default;

  virtual std::vector<tag_format> formats() = 0;
  // Connects (true) or disconnects; returns whether it is connected now.
  virtual bool set_connected(bool connected) = 0;
  // What the reader sees; 409 unless it is connected.
  virtual std::vector<item> items() = 0;
  // The same, as one snapshot that never changes and may be shared by
  // several answers while the reader goes on. By default a copy of
  // items().
  virtual std::shared_ptr<const std::vector<item>> shared_items();
  // A new tag from write data ("FORMAT:name=value;..."), not yet written,
  // with a fresh id; 422 for bad write data.
  virtual tag create_tag(std::string_view data) = 0;
  // Writes a created tag; 409 unless connected, 404 for an id create_tag
  // did not give (or gave and has written), 507 when nothing more fits.
  virtual written_tag write_tag(const std::string& id) = 0;
  // Sets or clears a tag's security (its id with ASCII letter case
  // ignored); 409 unless connected, 404 for no such tag.
  virtual tag set_security(const std::string& id, bool secure) = 0;
  virtual reader_status status() = 0;
  // For the live view; never throws. By default: connected and reading as
  // status() says, the items while connected.
  virtual reader_view view();
  // Hands every sighting and state change from now on to the observer,
  // which outlives the reader; call once, before the reader is used. A
  // reader that has no sightings to give ignores it (the default).
  virtual void observe(reader_observer* observer);
};

// UTC now, in milliseconds since 1970.
std::int64_t utc_now_ms();

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_READER_H_
