#include "tag_service/readers/llrp/frame.h"

#include <utility>

namespace tag_service::llrp {

std::optional<std::size_t> tv_body_size(std::uint8_t type) {
  switch (type) {
    case tv_antenna_id:
    case tv_channel_index:
    case tv_tag_seen_count:
    case tv_inventory_parameter_spec_id:
    case tv_c1g2_crc:
    case tv_c1g2_pc:
    case tv_spec_index:
    case tv_client_request_op_spec_result:
    case tv_op_spec_id:
      return 2;
    case tv_first_seen_utc:
    case tv_first_seen_uptime:
    case tv_last_seen_utc:
    case tv_last_seen_uptime:
      return 8;
    case tv_peak_rssi:
      return 1;
    case tv_rospec_id:
    case tv_access_spec_id:
    case tv_c1g2_singulation_details:
      return 4;
    case tv_epc_96:
      return 12;
    default:
      return std::nullopt;
  }
}

bool parse_header(byte_span data, frame_header& out, std::string& reason) {
  if (data.size() < header_size) {
    reason = "frame shorter than its header";
    return false;
  }
  byte_reader r(data.first(header_size));
  const std::uint16_t word = r.u16();
  out.type = word & 0x03FF;
  out.length = r.u32();
  out.id = r.u32();
  const unsigned version = (word >> 10) & 0x7;
  if (version != protocol_version) {
    reason = "unsupported protocol version " + std::to_string(version);
    return false;
  }
  if (out.length < header_size) {
    reason = "frame length " + std::to_string(out.length) +
             " shorter than its header";
    return false;
  }
  if (out.length > max_frame_size) {
    reason = "frame length " + std::to_string(out.length) +
             " above the cap of " + std::to_string(max_frame_size);
    return false;
  }
  return true;
}

void byte_reader::fail(std::string reason) {
  if (!failed_) reason_ = std::move(reason);
  failed_ = true;
}

bool byte_reader::need(std::size_t n) {
  if (failed_) return false;
  if (data_.size() - pos_ < n) {
    fail("truncated: " + std::to_string(n) + " bytes needed, " +
         std::to_string(data_.size() - pos_) + " left");
    return false;
  }
  return true;
}

std::uint8_t byte_reader::u8() {
  if (!need(1)) return 0;
  return data_[pos_++];
}

std::uint16_t byte_reader::u16() {
  if (!need(2)) return 0;
  const auto v =
      static_cast<std::uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
  pos_ += 2;
  return v;
}

std::uint32_t byte_reader::u32() {
  const std::uint32_t hi = u16();
  return (hi << 16) | u16();
}

std::uint64_t byte_reader::u64() {
  const std::uint64_t hi = u32();
  return (hi << 32) | u32();
}

byte_span byte_reader::take(std::size_t n) {
  if (!need(n)) return {};
  const byte_span s = data_.subspan(pos_, n);
  pos_ += n;
  return s;
}

std::string byte_reader::utf8() {
  const std::size_t n = u16();
  const byte_span s = take(n);
  return std::string(s.begin(), s.end());
}

bool next_parameter(byte_reader& r, parameter& out) {
  if (r.failed() || r.at_end()) return false;
  const std::uint8_t first = r.u8();
  if (first & 0x80) {
    const std::uint8_t type = first & 0x7F;
    const auto size = tv_body_size(type);
    if (!size) {
      r.fail("unknown TV parameter type " + std::to_string(type));
      return false;
    }
    out.tv = true;
    out.type = type;
    out.body = r.take(*size);
    return !r.failed();
  }
  const std::uint16_t word = static_cast<std::uint16_t>((first << 8) | r.u8());
  const std::uint16_t length = r.u16();
  if (r.failed()) return false;
  if (length < 4) {
    r.fail("parameter length " + std::to_string(length) +
           " shorter than its header");
    return false;
  }
  out.tv = false;
  out.type = word & 0x03FF;
  out.body = r.take(length - 4u);
  return !r.failed();
}

std::size_t frame_writer::begin_message(std::uint16_t type, std::uint32_t id) {
  const std::size_t at = out_.size();
  u16(static_cast<std::uint16_t>((protocol_version << 10) | (type & 0x03FF)));
  u32(0);
  u32(id);
  return at;
}

std::size_t frame_writer::begin_tlv(std::uint16_t type) {
  const std::size_t at = out_.size();
  u16(type & 0x03FF);
  u16(0);
  return at;
}

void frame_writer::u16(std::uint16_t v) {
  out_.push_back(static_cast<std::uint8_t>(v >> 8));
  out_.push_back(static_cast<std::uint8_t>(v));
}

void frame_writer::u32(std::uint32_t v) {
  u16(static_cast<std::uint16_t>(v >> 16));
  u16(static_cast<std::uint16_t>(v));
}

void frame_writer::u64(std::uint64_t v) {
  u32(static_cast<std::uint32_t>(v >> 32));
  u32(static_cast<std::uint32_t>(v));
}

void frame_writer::patch_u16(std::size_t at, std::uint16_t v) {
  out_[at] = static_cast<std::uint8_t>(v >> 8);
  out_[at + 1] = static_cast<std::uint8_t>(v);
}

void frame_writer::patch_u32(std::size_t at, std::uint32_t v) {
  patch_u16(at, static_cast<std::uint16_t>(v >> 16));
  patch_u16(at + 2, static_cast<std::uint16_t>(v));
}

frame_assembler::result frame_assembler::next(bytes& out, std::string& reason) {
  if (failed_) {
    reason = "stream already failed";
    return error;
  }
  const byte_span pending = byte_span(buffer_).subspan(start_);
  if (pending.size() < header_size) return need_more;
  frame_header h;
  if (!parse_header(pending, h, reason)) {
    failed_ = true;
    return error;
  }
  if (pending.size() < h.length) return need_more;
  out.assign(pending.begin(), pending.begin() + h.length);
  start_ += h.length;
  // Drop consumed bytes once they outweigh what is left.
  if (start_ > buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  return frame;
}

}  // namespace tag_service::llrp
