#include "tag_service/readers/llrp/messages.h"

#include <iterator>

namespace tag_service::llrp {

namespace {

bytes bare_message(std::uint16_t type, std::uint32_t id) {
  frame_writer w;
  w.end_message(w.begin_message(type, id));
  return w.take();
}

bytes id_message(std::uint16_t type, std::uint32_t id, std::uint32_t value) {
  frame_writer w;
  const auto m = w.begin_message(type, id);
  w.u32(value);
  w.end_message(m);
  return w.take();
}

// A bit string: its bit count, then the bits padded to whole bytes.
void bit_string(frame_writer& w, const bytes& data) {
  w.u16(static_cast<std::uint16_t>(data.size() * 8));
  w.raw(data);
}

}  // namespace

bytes encode_get_reader_capabilities(std::uint32_t id) {
  frame_writer w;
  const auto m = w.begin_message(msg_get_reader_capabilities, id);
  w.u8(0);  // all capabilities
  w.end_message(m);
  return w.take();
}

bytes encode_get_reader_keepalive(std::uint32_t id) {
  frame_writer w;
  const auto m = w.begin_message(msg_get_reader_config, id);
  w.u16(0);  // any antenna
  w.u8(8);   // the KeepaliveSpec
  w.u16(0);  // no GPI
  w.u16(0);  // no GPO
  w.end_message(m);
  return w.take();
}

bytes encode_enable_events_and_reports(std::uint32_t id) {
  return bare_message(msg_enable_events_and_reports, id);
}

bytes encode_set_reader_config(std::uint32_t id, std::uint32_t keepalive_ms,
                               std::uint8_t session) {
  frame_writer w;
  const auto m = w.begin_message(msg_set_reader_config, id);
  w.u8(0x80);  // reset to factory defaults first

  // Only the Gen2 session: transmit power, hop table and mode stay the
  // reader's, which it knows to be valid.
  const auto antenna = w.begin_tlv(par_antenna_configuration);
  w.u16(0);  // every antenna
  const auto inventory = w.begin_tlv(par_c1g2_inventory_command);
  w.u8(0);  // not state aware
  const auto singulation = w.begin_tlv(par_c1g2_singulation_control);
  w.u8(static_cast<std::uint8_t>((session & 3u) << 6));
  w.u16(16);  // tag population estimate
  w.u32(0);   // tag transit time: unknown
  w.end_tlv(singulation);
  w.end_tlv(inventory);
  w.end_tlv(antenna);

  const auto report = w.begin_tlv(par_ro_report_spec);
  w.u8(1);   // report upon N tags or the end of the AISpec ...
  w.u16(1);  // ... with N = 1: every sighting promptly
  const auto selector = w.begin_tlv(par_tag_report_content_selector);
  // Antenna, peak RSSI, first seen, last seen, seen count, AccessSpec id.
  w.u16((1u << 12) | (1u << 10) | (1u << 9) | (1u << 8) | (1u << 7) |
        (1u << 6));
  const auto memory = w.begin_tlv(par_c1g2_epc_memory_selector);
  w.u8(0x40);  // the PC word, to keep its low bits when a write resizes
  w.end_tlv(memory);
  w.end_tlv(selector);
  w.end_tlv(report);

  const auto access = w.begin_tlv(par_access_report_spec);
  w.u8(1);  // at the end of each AccessSpec
  w.end_tlv(access);

  const auto keepalive = w.begin_tlv(par_keepalive_spec);
  w.u8(1);  // periodic
  w.u32(keepalive_ms);
  w.end_tlv(keepalive);

  const auto events = w.begin_tlv(par_events_and_reports);
  w.u8(0);  // do not hold events and reports when a client reconnects
  w.end_tlv(events);

  w.end_message(m);
  return w.take();
}

bytes encode_add_rospec(std::uint32_t id, std::uint32_t rospec_id,
                        const std::vector<std::uint16_t>& antennas) {
  frame_writer w;
  const auto m = w.begin_message(msg_add_rospec, id);
  const auto rospec = w.begin_tlv(par_rospec);
  w.u32(rospec_id);
  w.u8(0);  // priority
  w.u8(0);  // disabled until ENABLE_ROSPEC

  const auto boundary = w.begin_tlv(par_ro_boundary_spec);
  const auto start = w.begin_tlv(par_rospec_start_trigger);
  w.u8(0);  // only START_ROSPEC starts it
  w.end_tlv(start);
  const auto stop = w.begin_tlv(par_rospec_stop_trigger);
  w.u8(0);  // only STOP_ROSPEC stops it
  w.u32(0);
  w.end_tlv(stop);
  w.end_tlv(boundary);

  const auto ai = w.begin_tlv(par_ai_spec);
  if (antennas.empty()) {
    w.u16(1);
    w.u16(0);  // antenna 0: all antennas
  } else {
    w.u16(static_cast<std::uint16_t>(antennas.size()));
    for (const auto a : antennas) w.u16(a);
  }
  const auto ai_stop = w.begin_tlv(par_ai_spec_stop_trigger);
  w.u8(0);  // none: a continuous inventory
  w.u32(0);
  w.end_tlv(ai_stop);
  const auto inventory = w.begin_tlv(par_inventory_parameter_spec);
  w.u16(1);
  w.u8(protocol_c1g2);
  w.end_tlv(inventory);
  w.end_tlv(ai);

  w.end_tlv(rospec);
  w.end_message(m);
  return w.take();
}

bytes encode_rospec_command(std::uint16_t type, std::uint32_t id,
                            std::uint32_t rospec_id) {
  return id_message(type, id, rospec_id);
}

bytes encode_accessspec_command(std::uint16_t type, std::uint32_t id,
                                std::uint32_t accessspec_id) {
  return id_message(type, id, accessspec_id);
}

bytes encode_add_accessspec(std::uint32_t id, std::uint32_t accessspec_id,
                            const bytes& target_epc,
                            const std::vector<access_op>& ops) {
  frame_writer w;
  const auto m = w.begin_message(msg_add_accessspec, id);
  const auto access_spec = w.begin_tlv(par_access_spec);
  w.u32(accessspec_id);
  w.u16(0);  // any antenna
  w.u8(protocol_c1g2);
  w.u8(0);   // disabled until ENABLE_ACCESSSPEC
  w.u32(0);  // any ROSpec

  const auto stop = w.begin_tlv(par_access_spec_stop_trigger);
  w.u8(1);   // after an operation count ...
  w.u16(1);  // ... of one: the AccessSpec runs once
  w.end_tlv(stop);

  const auto command = w.begin_tlv(par_access_command);
  const auto tag_spec = w.begin_tlv(par_c1g2_tag_spec);
  const auto target = w.begin_tlv(par_c1g2_target_tag);
  w.u8((1u << 6) | (1u << 5));  // EPC memory bank, match
  w.u16(32);                    // the EPC starts after CRC and PC
  bit_string(w, bytes(target_epc.size(), 0xFF));
  bit_string(w, target_epc);
  w.end_tlv(target);
  w.end_tlv(tag_spec);

  for (const access_op& op : ops) {
    if (op.write) {
      const auto write = w.begin_tlv(par_c1g2_write);
      w.u16(op.op_spec_id);
      w.u32(op.access_password);
      w.u8(static_cast<std::uint8_t>(op.write->memory_bank << 6));
      w.u16(op.write->word_pointer);
      w.u16(static_cast<std::uint16_t>(op.write->words.size()));
      for (const auto word : op.write->words) w.u16(word);
      w.end_tlv(write);
    } else if (op.lock) {
      const auto lock = w.begin_tlv(par_c1g2_lock);
      w.u16(op.op_spec_id);
      w.u32(op.access_password);
      for (const auto& [privilege, field] : op.lock->payload) {
        const auto payload = w.begin_tlv(par_c1g2_lock_payload);
        w.u8(privilege);
        w.u8(field);
        w.end_tlv(payload);
      }
      w.end_tlv(lock);
    }
  }
  w.end_tlv(command);
  w.end_tlv(access_spec);
  w.end_message(m);
  return w.take();
}

bytes encode_keepalive_ack(std::uint32_t id) {
  return bare_message(msg_keepalive_ack, id);
}

bytes encode_close_connection(std::uint32_t id) {
  return bare_message(msg_close_connection, id);
}

std::string llrp_status::text() const {
  std::string t = "status " + std::to_string(code);
  if (!description.empty()) t += ": " + description;
  return t;
}

std::string op_result_text(const op_result& r) {
  // The two result tables number the same outcomes differently.
  static const char* const write_texts[] = {
      "success",
      "tag memory overrun",
      "tag memory locked",
      "insufficient power to write the tag",
      "the tag reported an error",
      "no response from the tag",
      "the reader reported an error"};
  static const char* const lock_texts[] = {
      "success", "insufficient power to lock the tag",
      "the tag reported an error", "no response from the tag",
      "the reader reported an error"};
  if (r.kind == op_kind::write && r.result < std::size(write_texts))
    return write_texts[r.result];
  if (r.kind == op_kind::lock && r.result < std::size(lock_texts))
    return lock_texts[r.result];
  return "unknown result code " + std::to_string(r.result);
}

namespace {

// Walks the parameters of a body; calls on(parameter) for each. Stops at the
// first malformed one, leaving the failure in r.
template <typename F>
void each_parameter(byte_reader& r, F&& on) {
  parameter p;
  while (next_parameter(r, p)) {
    on(p);
    if (r.failed()) return;
  }
}

// Decodes a nested body; its failure fails the outer reader.
template <typename F>
void nested(byte_reader& outer, byte_span body, F&& decode) {
  byte_reader inner(body);
  decode(inner);
  if (inner.failed()) outer.fail(inner.reason());
}

void decode_status(byte_reader& r, llrp_status& out) {
  out.code = r.u16();
  out.description = r.utf8();
  each_parameter(r, [](const parameter&) {});  // field/parameter errors
}

// Finds the required LLRPStatus among the parameters of a response.
void decode_response(byte_reader& r, message& m,
                     void (*extra)(byte_reader&, const parameter&, message&)) {
  bool have_status = false;
  each_parameter(r, [&](const parameter& p) {
    if (!p.tv && p.type == par_llrp_status) {
      nested(r, p.body, [&](byte_reader& in) { decode_status(in, m.status); });
      have_status = true;
    } else if (extra) {
      extra(r, p, m);
    }
  });
  if (!r.failed() && !have_status) r.fail("response without a status");
}

void decode_capability(byte_reader& r, const parameter& p, message& m) {
  if (p.tv) return;
  if (p.type == par_c1g2_llrp_capabilities) {
    m.caps.c1g2 = true;
  } else if (p.type == par_general_device_capabilities) {
    nested(r, p.body, [&](byte_reader& in) {
      m.caps.max_antennas = in.u16();
      in.u16();   // flags
      in.u32();   // manufacturer
      in.u32();   // model
      in.utf8();  // firmware version
      each_parameter(in, [&](const parameter& q) {
        if (q.tv || q.type != par_per_antenna_air_protocol) return;
        nested(in, q.body, [&](byte_reader& a) {
          a.u16();  // antenna
          const std::uint16_t n = a.u16();
          for (std::uint16_t i = 0; i < n && !a.failed(); ++i) {
            if (a.u8() == protocol_c1g2 && !a.failed()) m.caps.c1g2 = true;
          }
        });
      });
    });
  }
}

void decode_config(byte_reader& r, const parameter& p, message& m) {
  if (p.tv || p.type != par_keepalive_spec) return;
  nested(r, p.body, [&](byte_reader& in) {
    const bool periodic = in.u8() == 1;
    const std::uint32_t period = in.u32();
    m.keepalive_ms = periodic ? period : 0;
  });
}

void decode_tag_report(byte_reader& r, tag_report& t) {
  bool have_epc = false;
  each_parameter(r, [&](const parameter& p) {
    byte_reader b(p.body);
    if (p.tv) {
      switch (p.type) {
        case tv_epc_96:
          t.epc.assign(p.body.begin(), p.body.end());
          t.epc_bits = 96;
          have_epc = true;
          break;
        case tv_antenna_id:
          t.antenna = b.u16();
          break;
        case tv_peak_rssi:
          t.peak_rssi = static_cast<std::int8_t>(b.u8());
          break;
        case tv_first_seen_utc:
          t.first_seen_us = b.u64();
          break;
        case tv_last_seen_utc:
          t.last_seen_us = b.u64();
          break;
        case tv_first_seen_uptime:
          t.first_seen_uptime_us = b.u64();
          break;
        case tv_last_seen_uptime:
          t.last_seen_uptime_us = b.u64();
          break;
        case tv_tag_seen_count:
          t.seen_count = b.u16();
          break;
        case tv_c1g2_pc:
          t.pc = b.u16();
          break;
        case tv_access_spec_id:
          t.access_spec_id = b.u32();
          break;
        default:
          break;
      }
      return;
    }
    switch (p.type) {
      case par_epc_data: {
        const std::uint16_t bits = b.u16();
        const byte_span epc = b.take((bits + 7u) / 8u);
        t.epc.assign(epc.begin(), epc.end());
        t.epc_bits = bits;
        have_epc = true;
        break;
      }
      case par_c1g2_write_op_spec_result: {
        op_result o{op_kind::write, 0, 0, 0};
        o.result = b.u8();
        o.op_spec_id = b.u16();
        o.words_written = b.u16();
        t.results.push_back(o);
        break;
      }
      case par_c1g2_lock_op_spec_result: {
        op_result o{op_kind::lock, 0, 0, 0};
        o.result = b.u8();
        o.op_spec_id = b.u16();
        t.results.push_back(o);
        break;
      }
      default:
        return;  // unknown or vendor: skipped by its length
    }
    if (b.failed()) r.fail(b.reason());
  });
  if (!r.failed() && !have_epc) r.fail("tag report without an EPC");
}

void decode_event(byte_reader& r, reader_event& e) {
  each_parameter(r, [&](const parameter& p) {
    if (p.tv) return;
    byte_reader b(p.body);
    switch (p.type) {
      case par_utc_timestamp:
        e.utc_us = b.u64();
        break;
      case par_uptime:
        e.uptime_us = b.u64();
        break;
      case par_connection_attempt_event:
        e.connection_attempt = b.u16();
        break;
      case par_connection_close_event:
        e.connection_close = true;
        break;
      case par_reader_exception_event:
        e.reader_exception = b.utf8();
        break;
      default:
        return;
    }
    if (b.failed()) r.fail(b.reason());
  });
}

}  // namespace

bool decode_message(byte_span frame, message& out, std::string& reason) {
  frame_header h;
  if (!parse_header(frame, h, reason)) return false;
  if (h.length != frame.size()) {
    reason = "frame length " + std::to_string(h.length) + " but " +
             std::to_string(frame.size()) + " bytes";
    return false;
  }
  out = message{};
  out.type = h.type;
  out.id = h.id;
  byte_reader r(frame.subspan(header_size));
  switch (h.type) {
    case msg_get_reader_capabilities_response:
      decode_response(r, out, decode_capability);
      break;
    case msg_get_reader_config_response:
      decode_response(r, out, decode_config);
      break;
    case msg_close_connection_response:
    case msg_set_reader_config_response:
    case msg_add_rospec_response:
    case msg_delete_rospec_response:
    case msg_start_rospec_response:
    case msg_stop_rospec_response:
    case msg_enable_rospec_response:
    case msg_add_accessspec_response:
    case msg_delete_accessspec_response:
    case msg_enable_accessspec_response:
    case msg_error_message:
      decode_response(r, out, nullptr);
      break;
    case msg_reader_event_notification: {
      bool have_data = false;
      each_parameter(r, [&](const parameter& p) {
        if (p.tv || p.type != par_reader_event_notification_data) return;
        nested(r, p.body,
               [&](byte_reader& in) { decode_event(in, out.event); });
        have_data = true;
      });
      if (!r.failed() && !have_data) r.fail("event notification without data");
      break;
    }
    case msg_ro_access_report:
      each_parameter(r, [&](const parameter& p) {
        if (p.tv || p.type != par_tag_report_data) return;
        out.reports.emplace_back();
        nested(r, p.body, [&](byte_reader& in) {
          decode_tag_report(in, out.reports.back());
        });
      });
      break;
    default:
      break;  // KEEPALIVE has no body; others are not ours to read
  }
  if (r.failed()) {
    reason = "message type " + std::to_string(h.type) + ": " + r.reason();
    return false;
  }
  return true;
}

}  // namespace tag_service::llrp
