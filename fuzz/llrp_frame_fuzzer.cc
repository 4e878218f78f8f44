// The reader protocol's frame decoder and stream cutter, fed what a hostile
// or broken reader might send.
//
// Properties: decoding never crashes and fails or succeeds with a whole
// frame; a decoded EPC holds exactly the bytes its bit count needs; the
// stream cutter yields the same frames (and the same final verdict) whether
// the bytes come at once or in two pieces, and each frame it yields has a
// valid header whose length is the frame's size.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tag_service/readers/llrp/messages.h"

namespace {

using namespace tag_service::llrp;

struct cut {
  std::vector<bytes> frames;
  frame_assembler::result last = frame_assembler::need_more;
};

void drain(frame_assembler& a, cut& c) {
  bytes f;
  std::string reason;
  while ((c.last = a.next(f, reason)) == frame_assembler::frame) {
    c.frames.push_back(f);
  }
}

void check_decoded(byte_span frame) {
  message m;
  std::string reason;
  if (!decode_message(frame, m, reason)) {
    FUZZ_CHECK(!reason.empty());
    return;
  }
  frame_header h;
  FUZZ_CHECK(parse_header(frame, h, reason));
  FUZZ_CHECK(h.length == frame.size());
  for (const tag_report& t : m.reports) {
    FUZZ_CHECK(t.epc.size() == (t.epc_bits + 7u) / 8u);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const byte_span input(data, size);
  check_decoded(input);

  frame_assembler whole_stream;
  cut whole;
  whole_stream.feed(input);
  drain(whole_stream, whole);

  const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
  frame_assembler split_stream;
  cut pieces;
  split_stream.feed(input.first(split));
  drain(split_stream, pieces);
  split_stream.feed(input.subspan(split));
  drain(split_stream, pieces);

  FUZZ_CHECK(whole.frames == pieces.frames);
  FUZZ_CHECK(whole.last == pieces.last);
  for (const bytes& f : whole.frames) {
    frame_header h;
    std::string reason;
    FUZZ_CHECK(parse_header(f, h, reason));
    FUZZ_CHECK(h.length == f.size());
    check_decoded(f);
  }
  return 0;
}
