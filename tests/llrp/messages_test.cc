// The reader protocol codec against frames built by hand, byte by byte.
#include "tag_service/readers/llrp/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace tag_service::llrp {
namespace {

bytes hex(std::string_view text) {
  bytes out;
  int high = -1;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    const int v = std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

message decode_ok(std::string_view frame_hex) {
  message m;
  std::string reason;
  const bytes frame = hex(frame_hex);
  EXPECT_TRUE(decode_message(frame, m, reason)) << reason;
  return m;
}

TEST(LlrpEncode, FramesMatchTheirHandBuiltBytes) {
  access_op write;
  write.op_spec_id = 1;
  write.access_password = 0x11223344;
  write.write = write_op{1, 2, {0xAABB}};
  access_op lock;
  lock.op_spec_id = 2;
  lock.lock = lock_op{{{lock_read_write, lock_epc_memory}}};
  const struct {
    const char* name;
    bytes got;
    const char* want;
  } cases[] = {
      {"keepalive ack", encode_keepalive_ack(7), "0448 0000000a 00000007"},
      {"close", encode_close_connection(8), "040e 0000000a 00000008"},
      {"capabilities", encode_get_reader_capabilities(1),
       "0401 0000000b 00000001 00"},
      {"start rospec", encode_rospec_command(msg_start_rospec, 3, 1),
       "0416 0000000e 00000003 00000001"},
      {"delete accessspec",
       encode_accessspec_command(msg_delete_accessspec, 4, 5),
       "0429 0000000e 00000004 00000005"},
      {"AccessSpec with a write",
       encode_add_accessspec(9, 5, {0xAA, 0xBB}, {write}),
       "0428 00000049 00000009"
       "00cf 003f 00000005 0000 01 00 00000000"
       "00d0 0007 01 0001"
       "00d1 0028"
       "0152 0013 0153 000f 60 0020 0010 ffff 0010 aabb"
       "0156 0011 0001 11223344 40 0002 0001 aabb"},
      {"AccessSpec with a lock",
       encode_add_accessspec(9, 5, {0xAA, 0xBB}, {lock}),
       "0428 00000048 00000009"
       "00cf 003e 00000005 0000 01 00 00000000"
       "00d0 0007 01 0001"
       "00d1 0027"
       "0152 0013 0153 000f 60 0020 0010 ffff 0010 aabb"
       "0158 0010 0002 00000000 0159 0006 00 02"},
      {"rospec on antennas 1 and 3", encode_add_rospec(2, 1, {1, 3}),
       "0414 00000040 00000002"
       "00b1 0036 00000001 00 00"
       "00b2 0012 00b3 0005 00 00b6 0009 00 00000000"
       "00b7 001a 0002 0001 0003 00b8 0009 00 00000000 00ba 0007 0001 01"},
      {"reader config", encode_set_reader_config(6, 10000, 1),
       "0403 00000046 00000006 80"
       "00de 0016 0000 014a 0010 00 0150 000b 40 0010 00000000"
       "00ed 0012 01 0001 00ee 000b 17c0 015c 0005 40"
       "00ef 0005 01"
       "00dc 0009 01 00002710"
       "00e2 0005 00"},
      {"keepalive asked", encode_get_reader_keepalive(5),
       "0402 00000011 00000005 0000 08 0000 0000"},
      {"events and reports", encode_enable_events_and_reports(3),
       "0440 0000000a 00000003"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got, hex(c.want)) << c.name;
  }
}

TEST(LlrpDecode, ReportCarriesEverySightingField) {
  const message m = decode_ok(
      "043d 00000068 0000002a"
      // EPC-96 and the measured values; an unknown and a vendor parameter.
      "00f0 0049 8d 3074257bf7194e4000001a85 81 0002 86 cc"
      "82 0005f0e1d2c3b4a5 84 0005f0e1d2c3ffff 88 0003 8c 3000"
      "0384 0006 dead 03ff 000c 00000001 00000002"
      "015e 0009 02 0001 0000"
      // A 32-bit EPC as EPCData, with a lock result.
      "00f0 0015 00f1 000a 0020 e2801234 0160 0007 00 0002");
  EXPECT_EQ(m.type, msg_ro_access_report);
  EXPECT_EQ(m.id, 42u);
  ASSERT_EQ(m.reports.size(), 2u);
  const tag_report& a = m.reports[0];
  EXPECT_EQ(a.epc, hex("3074257bf7194e4000001a85"));
  EXPECT_EQ(a.epc_bits, 96);
  EXPECT_EQ(a.antenna, 2);
  EXPECT_EQ(a.peak_rssi, -52);
  EXPECT_EQ(a.first_seen_us, 0x0005f0e1d2c3b4a5u);
  EXPECT_EQ(a.last_seen_us, 0x0005f0e1d2c3ffffu);
  EXPECT_EQ(a.seen_count, 3);
  EXPECT_EQ(a.pc, 0x3000);
  ASSERT_EQ(a.results.size(), 1u);
  EXPECT_EQ(a.results[0].kind, op_kind::write);
  EXPECT_EQ(a.results[0].op_spec_id, 1);
  EXPECT_EQ(op_result_text(a.results[0]), "tag memory locked");
  const tag_report& b = m.reports[1];
  EXPECT_EQ(b.epc, hex("e2801234"));
  EXPECT_EQ(b.epc_bits, 32);
  EXPECT_FALSE(b.antenna.has_value());
  ASSERT_EQ(b.results.size(), 1u);
  EXPECT_EQ(b.results[0].kind, op_kind::lock);
  EXPECT_EQ(b.results[0].op_spec_id, 2);
  EXPECT_EQ(b.results[0].result, 0);
}

TEST(LlrpDecode, UptimeStampsAndTheKeepaliveKeptAreRead) {
  const message report = decode_ok(
      "043d 0000002d 00000001 00f0 0023 8d 3074257bf7194e4000001a85"
      "83 0000000000000010 85 0000000000000020");
  ASSERT_EQ(report.reports.size(), 1u);
  EXPECT_EQ(report.reports[0].first_seen_uptime_us, 0x10u);
  EXPECT_EQ(report.reports[0].last_seen_uptime_us, 0x20u);
  EXPECT_FALSE(report.reports[0].first_seen_us.has_value());
  const struct {
    const char* frame;
    std::optional<std::uint32_t> keepalive_ms;
  } cases[] = {
      {"040c 0000001b 00000007 011f 0008 0000 0000 00dc 0009 01 000005dc",
       1500},
      {"040c 0000001b 00000007 011f 0008 0000 0000 00dc 0009 00 00000000", 0},
      {"040c 00000012 00000007 011f 0008 0000 0000", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decode_ok(c.frame).keepalive_ms, c.keepalive_ms) << c.frame;
}

TEST(LlrpDecode, CapabilitiesTellAntennasAndGen2) {
  const struct {
    const char* frame;
    std::uint16_t antennas;
    bool c1g2;
  } cases[] = {
      {"040b 00000030 00000001 011f 0008 0000 0000"
       "0089 001e 0004 0000 00000001 00000002 0003 312e30"
       "008c 0009 0001 0001 01",
       4, true},
      {"040b 00000030 00000001 011f 0008 0000 0000"
       "0089 001e 0004 0000 00000001 00000002 0003 312e30"
       "008c 0009 0001 0001 02",
       4, false},
      {"040b 0000001a 00000001 011f 0008 0000 0000 0147 0008 00 0000 00", 0,
       true},
  };
  for (const auto& c : cases) {
    const message m = decode_ok(c.frame);
    EXPECT_TRUE(m.status.ok()) << c.frame;
    EXPECT_EQ(m.caps.max_antennas, c.antennas) << c.frame;
    EXPECT_EQ(m.caps.c1g2, c.c1g2) << c.frame;
  }
}

TEST(LlrpDecode, StatusAndEventsAreRead) {
  const message status =
      decode_ok("040d 00000017 00000005 011f 000d 0065 0005 68656c6c6f");
  EXPECT_EQ(status.status.code, 101);
  EXPECT_EQ(status.status.text(), "status 101: hello");

  const message attempt = decode_ok(
      "043f 00000020 00000000 00f6 0016 0080 000c 0005f0e1d2c3b4a5"
      "0100 0006 0002");
  EXPECT_EQ(attempt.event.connection_attempt, 2);
  EXPECT_FALSE(attempt.event.connection_close);

  const message close = decode_ok(
      "043f 0000001e 00000000 00f6 0014 0080 000c 0005f0e1d2c3b4a5 0101 0004");
  EXPECT_FALSE(close.event.connection_attempt.has_value());
  EXPECT_TRUE(close.event.connection_close);

  const message uptime = decode_ok(
      "043f 00000020 00000000 00f6 0016 0081 000c 00000000000f4240"
      "0100 0006 0000");
  EXPECT_EQ(uptime.event.uptime_us, 1000000u);
  EXPECT_FALSE(uptime.event.utc_us.has_value());
  EXPECT_EQ(attempt.event.utc_us, 0x0005f0e1d2c3b4a5u);

  const message keepalive = decode_ok("043e 0000000a 00000063");
  EXPECT_EQ(keepalive.type, msg_keepalive);
  EXPECT_EQ(keepalive.id, 0x63u);
}

TEST(LlrpDecode, MalformedFramesAreRefusedWithAReason) {
  const struct {
    const char* name;
    const char* frame;
    const char* reason;
  } cases[] = {
      {"short header", "043d 0000", "shorter than its header"},
      {"version 2", "083d 0000000a 00000001", "version 2"},
      {"length below header", "043d 00000009 00000001",
       "shorter than its header"},
      {"length above cap", "043d 00100001 00000001", "above the cap"},
      {"length vs bytes", "043d 0000000e 00000001 0000", "but 12 bytes"},
      {"parameter length below 4", "043d 0000000e 00000001 00f0 0002",
       "shorter than its header"},
      {"parameter overruns", "043d 0000000e 00000001 00f0 0010", "truncated"},
      {"unknown TV", "043d 0000000f 00000001 00f0 0005 c0", "unknown TV"},
      {"EPC-96 cut short", "043d 00000012 00000001 00f0 0008 8d 000000",
       "truncated"},
      {"report without EPC", "043d 00000011 00000001 00f0 0007 81 0001",
       "without an EPC"},
      {"EPCData longer than its parameter",
       "043d 00000016 00000001 00f0 000c 00f1 0008 0060 ab00", "truncated"},
      {"response without status", "040d 0000000a 00000001", "without a status"},
      {"status text cut short", "040d 00000012 00000001 011f 0008 0000 0005",
       "truncated"},
      {"event without data", "043f 0000000a 00000001", "without data"},
  };
  for (const auto& c : cases) {
    message m;
    std::string reason;
    EXPECT_FALSE(decode_message(hex(c.frame), m, reason)) << c.name;
    EXPECT_NE(reason.find(c.reason), std::string::npos)
        << c.name << ": " << reason;
  }
}

}  // namespace
}  // namespace tag_service::llrp

namespace tag_service::llrp {
namespace {

bytes frame_of(std::uint32_t length, std::uint32_t id) {
  bytes f(length, 0);
  const std::uint8_t head[header_size] = {
      0x04,
      0x3e,
      static_cast<std::uint8_t>(length >> 24),
      static_cast<std::uint8_t>(length >> 16),
      static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length),
      static_cast<std::uint8_t>(id >> 24),
      static_cast<std::uint8_t>(id >> 16),
      static_cast<std::uint8_t>(id >> 8),
      static_cast<std::uint8_t>(id)};
  std::copy(std::begin(head), std::end(head), f.begin());
  return f;
}

TEST(FrameAssembler, TakesFramesUpToTheCapAndNoLonger) {
  const struct {
    std::uint32_t length;
    bool whole;
  } cases[] = {
      {header_size, true},
      {max_frame_size, true},
      {max_frame_size + 1, false},
  };
  for (const auto& c : cases) {
    frame_assembler a;
    bytes sent = frame_of(c.length, 7);
    if (!c.whole) sent.resize(header_size);
    a.feed(sent);
    bytes out;
    std::string reason;
    EXPECT_EQ(a.next(out, reason),
              c.whole ? frame_assembler::frame : frame_assembler::error)
        << c.length;
    if (c.whole) {
      EXPECT_EQ(out.size(), c.length);
    }
  }
}

// Bytes one at a time, frame after frame: what the assembler holds stays
// about one frame, however long the link lives.
TEST(FrameAssembler, HoldsAboutOneFrameWhateverTheStream) {
  for (const std::uint32_t length : {10u, 26u, 300u}) {
    frame_assembler a;
    const bytes one = frame_of(length, 1);
    std::size_t most = 0;
    int frames = 0;
    for (int n = 0; n < 2000; ++n) {
      for (const std::uint8_t b : one) {
        a.feed(byte_span(&b, 1));
        bytes out;
        std::string reason;
        while (a.next(out, reason) == frame_assembler::frame) ++frames;
        most = std::max(most, a.buffered());
      }
    }
    EXPECT_EQ(frames, 2000);
    EXPECT_LE(most, 2 * length + 1) << length;
  }
}

}  // namespace
}  // namespace tag_service::llrp
