// Times the session library's decoding of a reading answer held in memory:
// the JSON text of GET /items, as a file (bench/http.sh saves the service's).
//
//   reading_decode FILE [PASSES, default 11]
//
// Prints the median CPU time of one decoding and the rate it gives (the
// answer's bytes over that time), and the objects' heap figure. CPU time of
// the thread, so that other work on a shared machine does not count.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qel/reading_decoder.h"

namespace {

double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: reading_decode FILE [PASSES]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string answer((std::istreambuf_iterator<char>(in)),
                           std::istreambuf_iterator<char>());
  const int passes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
  std::vector<double> times;
  std::uint32_t heap = 0;
  std::uint32_t items = 0;
  for (int p = 0; p < passes; ++p) {
    rfid_qel::heap_meter meter;
    std::string why;
    const double start = cpu_ns();
    auto list = rfid_qel::decode_reading(answer, meter, why);
    times.push_back(cpu_ns() - start);
    if (list == nullptr) {
      std::fprintf(stderr, "reading_decode: refused: %s\n", why.c_str());
      return 1;
    }
    heap = meter.bytes();
    items = list->count();
  }
  std::nth_element(times.begin(), times.begin() + passes / 2, times.end());
  const double ns = times[static_cast<std::size_t>(passes / 2)];
  std::printf(
      "  decoding the answer (%zu bytes, %u items): %.1f ms CPU, %.0f MB/s "
      "(median of %d; objects %u KiB)\n",
      answer.size(), items, ns / 1e6,
      static_cast<double>(answer.size()) / ns * 1e3, passes, heap / 1024);
  return 0;
}
