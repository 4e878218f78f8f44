// Times the EPC codec on the reader's hot path: decoding 96-bit EPCs of
// every scheme, alone and with the tag the service makes of a new EPC
// (item id, URIs, element string, field values).
//
//   epc_decode [EPCS, default 100000] [PASSES, default 11]
//
// Prints the median nanoseconds of CPU time per EPC over the passes, one
// line each: CPU time, not wall time, so that other work on a shared
// machine does not count.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "tag_service/gs1/epc_field.h"

namespace {

std::uint64_t state = 0x9E3779B97F4A7C15ull;
std::uint64_t next() {  // xorshift64
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

using epc96 = std::array<std::uint8_t, 12>;

// Random EPCs that decode to one of the six schemes, in turn.
std::vector<epc96> make_epcs(std::size_t n) {
  std::vector<epc96> out;
  while (out.size() < n) {
    epc96 e;
    for (auto& b : e) b = static_cast<std::uint8_t>(next());
    e[0] = static_cast<std::uint8_t>(0x30 + out.size() % 6);
    e[1] = static_cast<std::uint8_t>((e[1] & 0xE3) | (next() % 7) << 2);
    if (e[0] == 0x31) e[9] = e[10] = e[11] = 0;  // SSCC's reserved bits
    if (epc::decode(e, 96).kind != epc::scheme::raw) out.push_back(e);
  }
  return out;
}

double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <typename F>
double median_ns_per_epc(const std::vector<epc96>& epcs, int passes, F work) {
  std::vector<double> per_epc;
  std::size_t sink = 0;
  for (int p = 0; p < passes; ++p) {
    const double start = cpu_ns();
    for (const epc96& e : epcs) sink += work(e);
    per_epc.push_back((cpu_ns() - start) / static_cast<double>(epcs.size()));
  }
  if (sink == 42) std::puts("");  // keeps the work from being optimised away
  std::sort(per_epc.begin(), per_epc.end());
  return per_epc[per_epc.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 11;
  if (n == 0 || passes <= 0) {
    std::fprintf(stderr, "usage: epc_decode [EPCS] [PASSES]\n");
    return 2;
  }
  const std::vector<epc96> epcs = make_epcs(n);
  const double decode = median_ns_per_epc(epcs, passes, [](const epc96& e) {
    return epc::decode(e, 96).fields.size();
  });
  const double tag = median_ns_per_epc(epcs, passes, [](const epc96& e) {
    const epc::decoded d = epc::decode(e, 96);
    return epc::item_id(d).size() + epc::epc_tag(d).values.size();
  });
  std::printf(
      "epc decode (96-bit, six schemes, %zu EPCs, CPU time, median of %d):\n",
      n, passes);
  std::printf("  decode:                    %7.1f ns/EPC (%.2f M/s)\n", decode,
              1e3 / decode);
  std::printf("  decode + item id + tag:    %7.1f ns/EPC (%.2f M/s)\n", tag,
              1e3 / tag);
  return 0;
}
