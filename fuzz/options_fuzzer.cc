// The command line: arguments are the input split at zero bytes, read as
// UTF-8 the way korvo reads its own.
//
// Properties: parsing never reads past the arguments; every text field points
// at a built-in literal or into an argument; has_work says what the keywords
// asked for; and, since keywords ignore ASCII letter case, upper-casing every
// keyword changes nothing but the case of the values that follow them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "fuzz/fuzz_check.h"
#include "platform/utf.h"

namespace {

using korvo::run_options;

// Index of the argument a field points into, -1 for the literal it started
// with, -2 for null; -3 (never expected) for anything else.
int origin(const char16_t* field, const char16_t* literal,
           const std::vector<std::u16string>& args) {
  if (field == nullptr) return -2;
  if (field == literal) return -1;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (field == args[i].c_str()) return static_cast<int>(i);
  }
  return -3;
}

struct shape {
  bool flags[9];
  int host, service_url, tag_id, library_path, write_data;
  std::u16string filter;
};

shape shape_of(const run_options& o, const std::vector<std::u16string>& args,
               const char16_t* initial_library) {
  shape s{{o.formats, o.print, o.heap, o.disconnect, o.compact, o.header,
           o.pause, o.async, o.secure},
          origin(o.host, korvo::kDefaultHost, args),
          origin(o.service_url, nullptr, args),
          origin(o.tag_id, nullptr, args),
          origin(o.library_path, initial_library, args),
          origin(o.write_data, nullptr, args),
          o.filter};
  return s;
}

std::u16string ascii_upper(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::u16string> args = {u"korvo"};
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    args.push_back(korvo::utf8_to_utf16(input.substr(start, end - start)));
    start = end + 1;
  }

  const char16_t* initial = korvo::kDefaultLibraryPath;
  const run_options o = korvo::parse_arguments(args, initial);
  const shape s = shape_of(o, args, initial);
  for (int field :
       {s.host, s.service_url, s.tag_id, s.library_path, s.write_data}) {
    FUZZ_CHECK(field != -3);
  }
  FUZZ_CHECK(s.host != -2 && s.library_path != -2);
  FUZZ_CHECK(o.has_work() ==
             (!o.stop && (o.formats || o.print || o.tag_id != nullptr ||
                          o.write_data != nullptr)));

  // The same command line with the keywords upper-cased: the arguments that
  // were read as values keep their case, so the value fields point at the
  // same argument indexes and the filter is unchanged.
  std::vector<std::u16string> upper = args;
  std::vector<bool> is_value(args.size(), false);
  for (int field :
       {s.host, s.service_url, s.tag_id, s.library_path, s.write_data}) {
    if (field > 0) is_value[field] = true;
  }
  // The filter's argument is not pointed at; keep every argument that equals
  // it as it is, which can only make the comparison stricter.
  for (std::size_t i = 1; i < upper.size(); ++i) {
    if (!is_value[i] && args[i] != o.filter) upper[i] = ascii_upper(args[i]);
  }
  const run_options u = korvo::parse_arguments(upper, initial);
  const shape su = shape_of(u, upper, initial);
  FUZZ_CHECK(u.stop == o.stop);
  for (int k = 0; k < 9; ++k) FUZZ_CHECK(su.flags[k] == s.flags[k]);
  FUZZ_CHECK(su.host == s.host && su.service_url == s.service_url &&
             su.tag_id == s.tag_id && su.library_path == s.library_path &&
             su.write_data == s.write_data);
  FUZZ_CHECK(su.filter == s.filter);
  return 0;
}
