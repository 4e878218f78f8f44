// The messages the reader client sends (encoders) and the ones a reader
// sends back (one decoder). Encoders return whole frames; the decoder takes
// one whole frame and never throws: a malformed frame is a false return with
// a reason, for the caller to log and drop the link.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_MESSAGES_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_MESSAGES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tag_service/readers/llrp/frame.h"

namespace tag_service::llrp {

// Air protocol number of EPCglobal Class 1 Gen 2.
inline constexpr std::uint8_t protocol_c1g2 = 1;

// ---- What the client sends ------------------------------------------------

bytes encode_get_reader_capabilities(std::uint32_t id);
// Asks for the keepalive the reader keeps (its answer may not be ours).
bytes encode_get_reader_keepalive(std::uint32_t id);
// Lets a reader that holds events and reports send them (no answer).
bytes encode_enable_events_and_reports(std::uint32_t id);
// Factory defaults, a periodic keepalive, events and reports not held on a
// reconnect, every antenna singulating in this Gen2 session (and nothing
// else of the air interface set), and reports of every tag sighting with
// EPC, antenna, peak RSSI, first/last seen, seen count and PC word; access
// results reported at the end of each AccessSpec.
bytes encode_set_reader_config(std::uint32_t id, std::uint32_t keepalive_ms,
                               std::uint8_t session);
// One ROSpec: started and stopped only by command, no stop trigger (a
// continuous inventory) on the given antennas (empty = all), C1G2.
bytes encode_add_rospec(std::uint32_t id, std::uint32_t rospec_id,
                        const std::vector<std::uint16_t>& antennas);
// ENABLE, START, STOP or DELETE of one ROSpec (by its message type).
bytes encode_rospec_command(std::uint16_t type, std::uint32_t id,
                            std::uint32_t rospec_id);
// ENABLE or DELETE of one AccessSpec.
bytes encode_accessspec_command(std::uint16_t type, std::uint32_t id,
                                std::uint32_t accessspec_id);

// One operation of an AccessSpec.
struct write_op {
  std::uint8_t memory_bank = 1;  // 0 reserved, 1 EPC, 2 TID, 3 user
  std::uint16_t word_pointer = 2;
  std::vector<std::uint16_t> words;
};
enum lock_privilege : std::uint8_t {
  lock_read_write = 0,  // writable only with the access password
  lock_perma_lock = 1,
  lock_perma_unlock = 2,
  lock_unlock = 3,
};
enum lock_field : std::uint8_t {
  lock_kill_password = 0,
  lock_access_password = 1,
  lock_epc_memory = 2,
  lock_tid_memory = 3,
  lock_user_memory = 4,
};
struct lock_op {
  std::vector<std::pair<std::uint8_t, std::uint8_t>>
      payload;  // privilege, field
};
struct access_op {
  std::uint16_t op_spec_id = 0;
  std::uint32_t access_password = 0;
  std::optional<write_op> write;  // either a write
  std::optional<lock_op> lock;    // or a lock
};
// An AccessSpec on any antenna, run once, for the tag whose EPC memory
// (from bit 32, after CRC and PC) equals target_epc.
bytes encode_add_accessspec(std::uint32_t id, std::uint32_t accessspec_id,
                            const bytes& target_epc,
                            const std::vector<access_op>& ops);

bytes encode_keepalive_ack(std::uint32_t id);
bytes encode_close_connection(std::uint32_t id);

// ---- What a reader sends --------------------------------------------------

struct llrp_status {
  std::uint16_t code = 0;  // 0 = success
  std::string description;
  bool ok() const { return code == 0; }
  // "code N: description" for messages.
  std::string text() const;
};

enum class op_kind : std::uint8_t { write, lock };
struct op_result {
  op_kind kind = op_kind::write;
  std::uint16_t op_spec_id = 0;
  std::uint8_t result = 0;  // 0 = success; meaning depends on kind
  std::uint16_t words_written = 0;
};
// A plain-words message for a tag operation's result code.
std::string op_result_text(const op_result& r);

struct tag_report {
  bytes epc;
  std::uint16_t epc_bits = 0;
  std::optional<std::uint16_t> antenna;
  std::optional<std::int8_t> peak_rssi;
  std::optional<std::uint64_t> first_seen_us;  // microseconds since 1970 UTC
  std::optional<std::uint64_t> last_seen_us;
  // A reader without a UTC clock: microseconds since it was switched on.
  std::optional<std::uint64_t> first_seen_uptime_us;
  std::optional<std::uint64_t> last_seen_uptime_us;
  std::optional<std::uint16_t> seen_count;
  std::optional<std::uint16_t> pc;
  std::optional<std::uint32_t> access_spec_id;
  std::vector<op_result> results;
};

struct reader_event {
  // When the reader sent it: UTC, or uptime on a reader without a clock.
  std::optional<std::uint64_t> utc_us;
  std::optional<std::uint64_t> uptime_us;
  std::optional<std::uint16_t> connection_attempt;  // status, 0 = success
  bool connection_close = false;
  std::optional<std::string> reader_exception;
};

struct capabilities {
  std::uint16_t max_antennas = 0;
  bool c1g2 = false;
};

struct message {
  std::uint16_t type = 0;
  std::uint32_t id = 0;
  // Responses, ERROR_MESSAGE: the status (always present once decoded).
  llrp_status status;
  capabilities caps;  // GET_READER_CAPABILITIES_RESPONSE
  // GET_READER_CONFIG_RESPONSE: the keepalive period (0: none), if told.
  std::optional<std::uint32_t> keepalive_ms;
  reader_event event;               // READER_EVENT_NOTIFICATION
  std::vector<tag_report> reports;  // RO_ACCESS_REPORT
};

// Decodes one whole frame (header included). Checks every length, skips
// parameters it does not know by their length, ignores vendor parameters;
// message types it does not know decode to just their type and id.
bool decode_message(byte_span frame, message& out, std::string& reason);

}  // namespace tag_service::llrp

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_MESSAGES_H_
