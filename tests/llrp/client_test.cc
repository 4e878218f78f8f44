// The reader URL and the table of tags seen.
#include "tag_service/readers/llrp/client.h"

#include <gtest/gtest.h>

#include "tag_service/readers/llrp/tag_table.h"

namespace tag_service::llrp {
namespace {

TEST(ReaderUrl, ParsesHostAndPortOrSaysWhy) {
  const struct {
    const char* url;
    const char* host;  // null: refused
    std::uint16_t port;
    const char* error;
  } cases[] = {
      {"llrp://reader.local", "reader.local", 5084, nullptr},
      {"llrp://10.0.0.7:5085/", "10.0.0.7", 5085, nullptr},
      {"llrp://[::1]:6000", "::1", 6000, nullptr},
      {"llrp://[::1]", "::1", 5084, nullptr},
      {"http://10.0.0.7", nullptr, 0, "must start with llrp://"},
      {"llrp://", nullptr, 0, "needs a host"},
      {"llrp://:5084", nullptr, 0, "needs a host"},
      {"llrp://host:0", nullptr, 0, "port must be"},
      {"llrp://host:65536", nullptr, 0, "port must be"},
      {"llrp://host:", nullptr, 0, "port must be"},
      {"llrp://host:50x", nullptr, 0, "port must be"},
      {"llrp://[::1", nullptr, 0, "unclosed"},
  };
  for (const auto& c : cases) {
    reader_address a;
    std::string error;
    const bool ok = parse_reader_url(c.url, a, error);
    EXPECT_EQ(ok, c.host != nullptr) << c.url;
    if (c.host) {
      EXPECT_EQ(a.host, c.host) << c.url;
      EXPECT_EQ(a.port, c.port) << c.url;
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos)
          << c.url << ": " << error;
    }
  }
  reader_address v6{"::1", 6000};
  EXPECT_EQ(v6.url(), "llrp://[::1]:6000");
}

tag_report sighting(std::uint8_t last_byte, std::uint64_t first,
                    std::uint64_t last, std::optional<std::uint16_t> count,
                    std::int8_t rssi) {
  tag_report r;
  r.epc = {0x30, 0x00, last_byte};
  r.epc_bits = 24;
  r.first_seen_us = first;
  r.last_seen_us = last;
  r.seen_count = count;
  r.peak_rssi = rssi;
  r.antenna = last_byte;
  return r;
}

TEST(TagTable, MergesSightingsPerTagWithinTheHoldTime) {
  using std::chrono::milliseconds;
  tag_table table(milliseconds(2000));
  const steady_time t0{};
  table.merge(sighting(1, 500, 600, 2, -60), t0);
  table.merge(sighting(1, 400, 900, std::nullopt, -50),
              t0 + milliseconds(1000));
  table.merge(sighting(1, 700, 800, 1, -70), t0 + milliseconds(1500));
  table.merge(sighting(2, 100, 100, 1, -40), t0);

  // At 2.5 s tag 2 (last seen at 0) has gone, tag 1 stays.
  auto now = table.current(t0 + milliseconds(2500));
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].epc, (bytes{0x30, 0x00, 1}));
  EXPECT_EQ(now[0].first_seen_us, 400u);  // the earliest the reader told
  EXPECT_EQ(now[0].last_seen_us, 900u);
  EXPECT_EQ(now[0].seen_count, 4u);  // 2 + 1 (no count) + 1
  EXPECT_EQ(now[0].peak_rssi, -50);
  EXPECT_EQ(table.size(), 1u);

  // Back after more than the hold time: a new first sighting.
  table.merge(sighting(1, 9000, 9100, 1, -65), t0 + milliseconds(4000));
  now = table.current(t0 + milliseconds(4000));
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].first_seen_us, 9000u);
  EXPECT_EQ(now[0].seen_count, 1u);
  EXPECT_EQ(now[0].peak_rssi, -65);
}

TEST(TagTable, SizeFollowsDistinctTagsNotReports) {
  using std::chrono::milliseconds;
  tag_table table(milliseconds(10));
  steady_time t{};
  // 200 rounds of 256 distinct tags each, each round past the hold time.
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 256; ++i) {
      tag_report r = sighting(static_cast<std::uint8_t>(i), 1, 1, 1, -50);
      r.epc[1] = static_cast<std::uint8_t>(round);
      table.merge(r, t);
    }
    t += milliseconds(20);
  }
  EXPECT_LE(table.size(), 2048u);
  EXPECT_EQ(table.current(t - milliseconds(20)).size(), 256u);
}

TEST(ReportCompleter, FillsLeftOutFieldsAndPutsStampsOnOurClock) {
  constexpr std::uint64_t t0 = 1'700'000'000'000'000;  // our clock, µs
  constexpr std::uint64_t up0 = 5'000'000;  // the reader's uptime then
  constexpr std::int64_t y2000 = 946'684'800'000'000 - std::int64_t{t0};
  report_completer completer(std::chrono::seconds(30));
  reader_event connected;
  connected.uptime_us = up0;
  completer.anchor(connected, t0);
  // A stamp: 'u' UTC at t0 + at, 'p' uptime at up0 + at, 0 left out.
  struct stamp {
    char kind;
    std::int64_t at;
  };
  const struct {
    const char* name;
    bool reconnect;
    std::optional<std::uint16_t> antenna, want_antenna;
    stamp first, last;
    std::int64_t received, want_first, want_last;  // after t0
  } cases[] = {
      {"uptime", false, 2, 2, {'p', 100}, {'p', 200}, 300, 100, 200},
      {"left out", false, {}, 2, {}, {}, 400, 100, 200},
      {"UTC near ours", false, 3, 3, {'u', 5000}, {'u', 5001}, 500, 5000, 5001},
      {"clock unset", false, {}, 3, {'u', y2000}, {'u', y2000}, 600, 600, 600},
      {"31 s on", false, {}, 3, {'u', 31'000'000}, {}, 700, 700, 700},
      {"reconnected", true, {}, {}, {'p', 100}, {}, 800, 800, 800},
  };
  const auto put = [](const stamp& s, std::optional<std::uint64_t>& utc,
                      std::optional<std::uint64_t>& uptime) {
    if (s.kind == 'u') utc = static_cast<std::uint64_t>(t0 + s.at);
    if (s.kind == 'p') uptime = static_cast<std::uint64_t>(up0 + s.at);
  };
  for (const auto& c : cases) {
    if (c.reconnect) completer.reset();
    tag_report r;
    r.epc = {0x30, 0x00, 0x01};
    r.epc_bits = 24;
    r.antenna = c.antenna;
    put(c.first, r.first_seen_us, r.first_seen_uptime_us);
    put(c.last, r.last_seen_us, r.last_seen_uptime_us);
    completer.complete(r, t0 + c.received);
    EXPECT_EQ(r.antenna, c.want_antenna) << c.name;
    EXPECT_EQ(r.first_seen_us, t0 + c.want_first) << c.name;
    EXPECT_EQ(r.last_seen_us, t0 + c.want_last) << c.name;
  }
}

}  // namespace
}  // namespace tag_service::llrp

namespace tag_service::llrp {
namespace {

// A field larger than the table: the strongest tags stay, the others are
// counted; an EPC longer than an EPC bank takes a place per 496 bits.
TEST(TagTable, KeepsTheStrongestOfAFieldLargerThanItsPlaces) {
  using std::chrono::milliseconds;
  const struct {
    const char* name;
    std::size_t places;
    int tags;
    std::uint16_t bits;
    std::size_t kept;
    std::size_t not_kept;
  } cases[] = {
      {"fits", 10, 10, 96, 10, 0},
      {"one too many", 10, 11, 96, 10, 1},
      {"many more", 10, 150, 96, 10, 140},
      {"more than the count's bound", 10, 300, 96, 10, 200},
      {"long EPCs take two places", 10, 8, 992, 5, 3},
      {"an EPC longer than the table", 1, 1, 1000, 0, 1},
  };
  for (const auto& c : cases) {
    tag_table table(milliseconds(2000), c.places);
    const steady_time t0{};
    // Tag i has RSSI -100 + i % 100: the later, the stronger (ties: first
    // come stays).
    for (int i = 0; i < c.tags; ++i) {
      tag_report r;
      r.epc.assign((c.bits + 7) / 8, 0x30);
      r.epc[1] = static_cast<std::uint8_t>(i >> 8);
      r.epc[2] = static_cast<std::uint8_t>(i);
      r.epc_bits = c.bits;
      r.peak_rssi = static_cast<std::int8_t>(-100 + i % 100);
      table.merge(r, t0);
      table.merge(r, t0 + milliseconds(10));  // seen again: no new place
    }
    const auto kept = table.current(t0 + milliseconds(10));
    EXPECT_EQ(kept.size(), c.kept) << c.name;
    EXPECT_EQ(table.not_kept(), c.not_kept) << c.name;
    for (const seen_tag& s : kept) {
      EXPECT_GE(*s.peak_rssi, -100 + std::max(0, std::min(c.tags, 100) -
                                                     static_cast<int>(c.kept)))
          << c.name << ": a weaker tag was kept";
    }
    // Once the others are gone, the count follows.
    EXPECT_EQ(table.current(t0 + milliseconds(3000)).size(), 0u) << c.name;
    EXPECT_EQ(table.not_kept(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace tag_service::llrp
