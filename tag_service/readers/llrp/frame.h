// The binary framing of the reader protocol: the message header, TLV and TV
// parameters, and bounds-checked readers and writers for them. Nothing here
// throws; malformed input turns into a failed reader with a reason.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_FRAME_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tag_service::llrp {

using bytes = std::vector<std::uint8_t>;
using byte_span = std::span<const std::uint8_t>;

inline constexpr std::uint8_t protocol_version = 1;
inline constexpr std::size_t header_size = 10;  // type word, length, id
// The largest frame accepted from a reader; a longer one ends the link.
inline constexpr std::uint32_t max_frame_size = 1u << 20;

// Message types.
enum message_type : std::uint16_t {
  msg_get_reader_capabilities = 1,
  msg_get_reader_config = 2,
  msg_set_reader_config = 3,
  msg_close_connection_response = 4,
  msg_get_reader_capabilities_response = 11,
  msg_get_reader_config_response = 12,
  msg_set_reader_config_response = 13,
  msg_close_connection = 14,
  msg_add_rospec = 20,
  msg_delete_rospec = 21,
  msg_start_rospec = 22,
  msg_stop_rospec = 23,
  msg_enable_rospec = 24,
  msg_add_rospec_response = 30,
  msg_delete_rospec_response = 31,
  msg_start_rospec_response = 32,
  msg_stop_rospec_response = 33,
  msg_enable_rospec_response = 34,
  msg_add_accessspec = 40,
  msg_delete_accessspec = 41,
  msg_enable_accessspec = 42,
  msg_add_accessspec_response = 50,
  msg_delete_accessspec_response = 51,
  msg_enable_accessspec_response = 52,
  msg_ro_access_report = 61,
  msg_keepalive = 62,
  msg_reader_event_notification = 63,
  msg_enable_events_and_reports = 64,
  msg_keepalive_ack = 72,
  msg_error_message = 100,
  msg_custom = 1023,
};

// TLV parameter types.
enum param_type : std::uint16_t {
  par_utc_timestamp = 128,
  par_uptime = 129,
  par_general_device_capabilities = 137,
  par_per_antenna_air_protocol = 140,
  par_rospec = 177,
  par_ro_boundary_spec = 178,
  par_rospec_start_trigger = 179,
  par_rospec_stop_trigger = 182,
  par_ai_spec = 183,
  par_ai_spec_stop_trigger = 184,
  par_inventory_parameter_spec = 186,
  par_access_spec = 207,
  par_access_spec_stop_trigger = 208,
  par_access_command = 209,
  par_keepalive_spec = 220,
  par_antenna_configuration = 222,
  par_events_and_reports = 226,
  par_ro_report_spec = 237,
  par_tag_report_content_selector = 238,
  par_access_report_spec = 239,
  par_tag_report_data = 240,
  par_epc_data = 241,
  par_reader_event_notification_data = 246,
  par_reader_exception_event = 252,
  par_antenna_event = 255,
  par_connection_attempt_event = 256,
  par_connection_close_event = 257,
  par_llrp_status = 287,
  par_c1g2_llrp_capabilities = 327,
  par_c1g2_inventory_command = 330,
  par_c1g2_singulation_control = 336,
  par_c1g2_tag_spec = 338,
  par_c1g2_target_tag = 339,
  par_c1g2_write = 342,
  par_c1g2_lock = 344,
  par_c1g2_lock_payload = 345,
  par_c1g2_epc_memory_selector = 348,
  par_c1g2_write_op_spec_result = 350,
  par_c1g2_lock_op_spec_result = 352,
  par_custom = 1023,
};

// TV parameter types (7 bits, fixed body sizes).
enum tv_type : std::uint8_t {
  tv_antenna_id = 1,
  tv_first_seen_utc = 2,
  tv_first_seen_uptime = 3,
  tv_last_seen_utc = 4,
  tv_last_seen_uptime = 5,
  tv_peak_rssi = 6,
  tv_channel_index = 7,
  tv_tag_seen_count = 8,
  tv_rospec_id = 9,
  tv_inventory_parameter_spec_id = 10,
  tv_c1g2_crc = 11,
  tv_c1g2_pc = 12,
  tv_epc_96 = 13,
  tv_spec_index = 14,
  tv_client_request_op_spec_result = 15,
  tv_access_spec_id = 16,
  tv_op_spec_id = 17,
  tv_c1g2_singulation_details = 18,
};

// The body size of a TV parameter, or nothing for a type we cannot size (a
// TV parameter carries no length, so an unknown one cannot be skipped).
std::optional<std::size_t> tv_body_size(std::uint8_t type);

struct frame_header {
  std::uint16_t type = 0;
  std::uint32_t length = 0;  // the whole frame, header included
  std::uint32_t id = 0;
};

// Reads the header from the first header_size bytes. Fails (with a reason)
// on a wrong version, a length shorter than the header or above
// max_frame_size, so a stream reader knows how much more to read, or to stop.
bool parse_header(byte_span data, frame_header& out, std::string& reason);

// A cursor over a byte span. Any read past the end sets failed() and returns
// zeros; the first failure's reason is kept.
class byte_reader {
 public:
  explicit byte_reader(byte_span data) : data_(data) {}

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::uint64_t u64();
  byte_span take(std::size_t n);
  // A UTF-8 string with its 16-bit byte count in front.
  std::string utf8();

  std::size_t remaining() const { return failed_ ? 0 : data_.size() - pos_; }
  bool at_end() const { return remaining() == 0; }
  bool failed() const { return failed_; }
  const std::string& reason() const { return reason_; }
  void fail(std::string reason);

 private:
  bool need(std::size_t n);
  byte_span data_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  std::string reason_;
};

// One parameter as found in a body: TV or TLV, its type and its body.
struct parameter {
  bool tv = false;
  std::uint16_t type = 0;
  byte_span body;
};

// Reads the next parameter from r. Checks a TLV's length against its header
// and what is left; a TV of an unknown type fails the reader. Returns false
// at the end of the data or on failure (see r.failed()).
bool next_parameter(byte_reader& r, parameter& out);

// Builds frames. Lengths of messages and TLV parameters are patched in when
// they are closed; nesting is by the offsets begin_* returns.
class frame_writer {
 public:
  std::size_t begin_message(std::uint16_t type, std::uint32_t id);
  void end_message(std::size_t at) { patch_u32(at + 2, size_from(at)); }
  std::size_t begin_tlv(std::uint16_t type);
  void end_tlv(std::size_t at) {
    patch_u16(at + 2, static_cast<std::uint16_t>(size_from(at)));
  }
  void tv(std::uint8_t type) { u8(static_cast<std::uint8_t>(0x80 | type)); }

  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v);
  void u32(std::uint32_t v);
  void u64(std::uint64_t v);
  void raw(byte_span b) { out_.insert(out_.end(), b.begin(), b.end()); }

  bytes take() { return std::move(out_); }
  const bytes& data() const { return out_; }

 private:
  std::uint32_t size_from(std::size_t at) const {
    return static_cast<std::uint32_t>(out_.size() - at);
  }
  void patch_u16(std::size_t at, std::uint16_t v);
  void patch_u32(std::size_t at, std::uint32_t v);
  bytes out_;
};

// Cuts a byte stream into whole frames. Bytes may come in any pieces; a bad
// header is an error for good (the stream cannot be resynchronised).
class frame_assembler {
 public:
  enum result { need_more, frame, error };
  void feed(byte_span data) {
    buffer_.insert(buffer_.end(), data.begin(), data.end());
  }
  // On frame, out holds the next whole frame; on error, reason says why.
  result next(bytes& out, std::string& reason);
  // Bytes held: what is not yet a whole frame, and consumed bytes not yet
  // dropped (never more than what is left, so about one frame at most).
  std::size_t buffered() const { return buffer_.size(); }

 private:
  bytes buffer_;
  std::size_t start_ = 0;
  bool failed_ = false;
};

}  // namespace tag_service::llrp

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_FRAME_H_
