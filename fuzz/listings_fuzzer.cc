// The two listings over session data drawn from the fuzz input (see
// fuzzed_session.h): counts that change between calls, missing objects,
// texts and timestamps, odd UTF-16 and extreme numbers.
//
// Properties: no crash and no read of freed or foreign memory (the
// sanitizers); the output is well-formed UTF-8; every line is one the
// listing prints (the session's texts hold no line breaks), and the header
// line comes first exactly when the compact form and the header are asked
// for.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/byte_reader.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzzed_session.h"
#include "fuzz/well_formed.h"
#include "report/listings.h"
#include "tests/support/output_capture.h"

namespace {

// Standard output stays caught for the whole fuzzing run.
korvo_test::output_capture& captured() {
  static korvo_test::output_capture* capture = new korvo_test::output_capture;
  return *capture;
}

bool starts_with_any(std::string_view line,
                     std::initializer_list<std::string_view> prefixes) {
  for (std::string_view p : prefixes) {
    if (line.substr(0, p.size()) == p) return true;
  }
  return false;
}

std::vector<std::string_view> lines_of(std::string_view out) {
  std::vector<std::string_view> lines;
  while (!out.empty()) {
    const std::size_t end = out.find('\n');
    FUZZ_CHECK(end != std::string_view::npos);  // every line ends
    lines.push_back(out.substr(0, end));
    out.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  captured().take();
  korvo_fuzz::byte_reader in(data, size);
  korvo_fuzz::fuzzed_session session(in);
  const std::uint8_t mode = in.byte();
  korvo::report_options options;
  options.compact = (mode & 1) != 0;
  options.header = (mode & 2) != 0;
  const bool formats = (mode & 4) != 0;
  std::u16string filter;
  if ((mode & 8) != 0) {
    if (const char16_t* t = session.text()) filter = t;
  }
  options.filter = filter;

  if (formats) {
    korvo::list_formats(&session, options);
  } else {
    korvo::print_reading(session.reading(), options);
  }
  const std::string out = captured().take();
  FUZZ_CHECK(korvo_fuzz::well_formed_utf8(out));

  const std::vector<std::string_view> lines = lines_of(out);
  const std::string_view header =
      formats ? "# TagFormat file" : "# TagData file";
  if (formats && session.gave_no_formats()) {
    // Only the session's failure, if its status says it failed.
    FUZZ_CHECK(lines.empty() || (lines.size() == 1 &&
                                 lines[0].substr(0, 15) == "getTagFormats: "));
    return 0;
  }
  FUZZ_CHECK((options.compact && options.header) ==
             (!lines.empty() && lines[0] == header));
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    if (k == 0 && line == header) continue;
    if (formats && options.compact) {
      FUZZ_CHECK(starts_with_any(line, {"FormatId=", "/Id="}));
    } else if (formats) {
      FUZZ_CHECK(starts_with_any(
          line, {"FormatId=", "  Id=", "    LongDescription="}));
    } else if (options.compact) {
      FUZZ_CHECK(starts_with_any(line, {"ItemID=", "/TagId="}));
    } else {
      FUZZ_CHECK(
          starts_with_any(line, {"Item[", "  Id=", "  FirstSeen=", "  Tag[",
                                 "    Id=", "    FirstSeen=", "    "}));
    }
  }
  return 0;
}
