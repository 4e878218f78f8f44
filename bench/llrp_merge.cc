// Decoding and merging of a busy reader's reports: RO_ACCESS_REPORT frames
// as a reader sends them (EPC-96, antenna, peak RSSI, first/last seen, seen
// count, PC), decoded and merged into the tag table, on one thread.
//
//   llrp_merge [distinct tags, default 10000] [reports, default 2000000]
//              [tags per message, default 50]
//
// Prints tag reports per second (wall and CPU), the table's size, and the
// peak resident memory after a tenth of the reports and at the end: equal
// figures show that memory follows the distinct tags, not the reports.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tag_service/readers/llrp/frame.h"
#include "tag_service/readers/llrp/messages.h"
#include "tag_service/readers/llrp/tag_table.h"

namespace {

using namespace tag_service::llrp;

bytes report_frame(std::uint32_t first_tag, std::uint32_t count,
                   std::uint32_t distinct, std::uint64_t time_us) {
  frame_writer w;
  const auto m = w.begin_message(msg_ro_access_report, first_tag);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t tag = (first_tag + i) % distinct;
    const auto data = w.begin_tlv(par_tag_report_data);
    w.tv(tv_epc_96);
    w.u32(0x30742570);
    w.u32(0xBF7194E4);
    w.u32(tag);
    w.tv(tv_antenna_id);
    w.u16(static_cast<std::uint16_t>(1 + tag % 4));
    w.tv(tv_peak_rssi);
    w.u8(static_cast<std::uint8_t>(-40 - static_cast<int>(tag % 30)));
    w.tv(tv_first_seen_utc);
    w.u64(time_us);
    w.tv(tv_last_seen_utc);
    w.u64(time_us + 1000);
    w.tv(tv_tag_seen_count);
    w.u16(3);
    w.tv(tv_c1g2_pc);
    w.u16(0x3000);
    w.end_tlv(data);
  }
  w.end_message(m);
  return w.take();
}

long peak_kib() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t distinct = argc > 1 ? std::atoi(argv[1]) : 10000;
  const std::uint64_t reports = argc > 2 ? std::atoll(argv[2]) : 2000000;
  const std::uint32_t per_message = argc > 3 ? std::atoi(argv[3]) : 50;
  if (distinct == 0 || per_message == 0) return 2;

  // Enough different frames to cover every tag once.
  std::vector<bytes> frames;
  for (std::uint32_t first = 0; first < distinct; first += per_message) {
    frames.push_back(report_frame(first, per_message, distinct,
                                  1'765'000'000'000'000ull + first));
  }

  tag_table table(std::chrono::milliseconds(2000));
  std::uint64_t merged = 0;
  long tenth_kib = 0;
  const auto wall0 = std::chrono::steady_clock::now();
  const std::clock_t cpu0 = std::clock();
  message m;
  std::string reason;
  for (std::size_t f = 0; merged < reports; f = (f + 1) % frames.size()) {
    if (!decode_message(frames[f], m, reason)) {
      std::fprintf(stderr, "decode failed: %s\n", reason.c_str());
      return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    for (const tag_report& r : m.reports) table.merge(r, now);
    merged += m.reports.size();
    if (!tenth_kib && merged >= reports / 10) tenth_kib = peak_kib();
  }
  const double wall = std::chrono::duration<double>(
                          std::chrono::steady_clock::now() - wall0)
                          .count();
  const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  std::printf(
      "tag reports %llu, distinct %u, per message %u: %.0f reports/s wall, "
      "%.0f reports/s CPU; table %zu tags; peak RSS %ld KiB after a tenth, "
      "%ld KiB at the end\n",
      static_cast<unsigned long long>(merged), distinct, per_message,
      merged / wall, merged / cpu, table.size(), tenth_kib, peak_kib());
  return 0;
}
