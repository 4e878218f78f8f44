// The formatter behind all of korvo's output: the text entry (format_to,
// run_text), compiled formats (run_plan) and the piece emitter's buffer edge.
//
// Two modes, chosen by the first byte. Arbitrary: any format with any
// arguments must not crash, read past the arguments or change text outside
// conversions. Checked: a format built from pieces korvo's formats use
// (literal text, "%%", "%s", "%d", "%u", with or without a width and a zero
// flag), with matching, mismatched or missing arguments, must print what
// printf prints for it (texts as UTF-8, padded by bytes), and nothing for a
// mismatched or missing argument. In both, a format that compiles prints the
// same compiled, and both drivers, given rooms just too small or just large
// enough, either say there is no room or write exactly that output, and
// never write past the room.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/byte_reader.h"
#include "fuzz/fuzz_check.h"
#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf.h"

namespace {

using korvo::print_arg;

// Calls f with a run-time number of arguments as an initializer_list.
template <class F>
auto with_args(const std::vector<print_arg>& a, F f) {
  switch (a.size()) {
    case 0:
      return f({});
    case 1:
      return f({a[0]});
    case 2:
      return f({a[0], a[1]});
    case 3:
      return f({a[0], a[1], a[2]});
    case 4:
      return f({a[0], a[1], a[2], a[3]});
    case 5:
      return f({a[0], a[1], a[2], a[3], a[4]});
    default:
      return f({a[0], a[1], a[2], a[3], a[4], a[5]});
  }
}

template <class Format>
void format_with(std::string& out, const Format& fmt,
                 const std::vector<print_arg>& a) {
  with_args(a, [&](std::initializer_list<print_arg> args) {
    korvo::format_to(out, fmt, args);
  });
}

// Rooms around the edge: the smallest ones, those just around the output's
// size, and one that is always enough (every number may take its widest
// form, a zero-terminated text one step more, a sized text three bytes per
// unit). run(p, end, args) formats into each; a room is an allocation of its
// own size, so that a write past it is caught.
template <class Run>
void check_rooms(const std::vector<print_arg>& a, const std::string& out,
                 Run run) {
  std::size_t enough = out.size() + korvo::kMaxFormatDigits + 4;
  for (const print_arg& arg : a) {
    if (arg.type() == print_arg::kind::text) {
      enough += korvo::kMaxUtf8PerUnit * arg.text().size();
    }
  }
  std::vector<std::size_t> rooms = {0, 1, 2, 3, 4, 5, 7, 11, enough};
  for (std::size_t r = out.size() < 8 ? 0 : out.size() - 8; r < out.size() + 16;
       ++r) {
    rooms.push_back(r);
  }
  for (const std::size_t room : rooms) {
    const std::unique_ptr<char[]> buffer(new char[room]);
    char* const begin = buffer.get();
    char* const end = with_args(a, [&](std::initializer_list<print_arg> args) {
      return run(begin, begin + room, args);
    });
    if (end == nullptr) {
      FUZZ_CHECK(room < enough);
      continue;
    }
    FUZZ_CHECK(static_cast<std::size_t>(end - begin) == out.size());
    FUZZ_CHECK(std::memcmp(begin, out.data(), out.size()) == 0);
  }
}

// The text entry and the compiled one agree on fmt with args, at every room.
void check_drivers(std::string_view fmt, const std::vector<print_arg>& args,
                   const std::string& out) {
  check_rooms(args, out, [&](char* p, char* end, auto list) {
    return korvo::run_text(p, end, fmt, list);
  });
  static korvo::compiled_format<4096> compiled;
  if (!korvo::compile_format(fmt, compiled)) return;
  const korvo::format_plan plan(compiled);
  std::string via_plan;
  format_with(via_plan, plan, args);
  FUZZ_CHECK(via_plan == out);
  check_rooms(args, out, [&](char* p, char* end, auto list) {
    return korvo::run_plan(p, end, plan, list);
  });
}

// Formats of every shape korvo's hot lines have, compiled by the compiler
// and run unrolled as print<kFormat> runs them.
constexpr auto kLine =
    korvo::compile_format("Id=%s N=%d U=%u [%05d|%3s] 100%%\n");
constexpr auto kTriple = korvo::compile_format("/%s=%s#%s");
constexpr auto kWide = korvo::compile_format("%%%012u%%%0s%20d");
constexpr auto kPlain = korvo::compile_format("plain\n");

template <const auto& F>
void check_unrolled(std::string_view text, const std::vector<print_arg>& a) {
  std::string out;
  format_with(out, text, a);
  check_rooms(a, out, [](char* p, char* end, auto list) {
    return korvo::run_plan<F>(p, end, list);
  });
}

void check_compiled_formats(const std::vector<print_arg>& a) {
  check_unrolled<kLine>("Id=%s N=%d U=%u [%05d|%3s] 100%%\n", a);
  check_unrolled<kTriple>("/%s=%s#%s", a);
  check_unrolled<kWide>("%%%012u%%%0s%20d", a);
  check_unrolled<kPlain>("plain\n", a);
}

void arbitrary(korvo_fuzz::byte_reader& in) {
  std::vector<std::u16string> texts;
  texts.reserve(6);
  std::vector<print_arg> args;
  const int n = in.byte() % 7;
  for (int k = 0; k < n; ++k) {
    const std::uint8_t what = in.byte();
    switch (what % 4) {
      case 0:
        // A sized text, or one read up to its terminator (perhaps with
        // units marked by a backslash), as the listings pass theirs.
        texts.push_back(in.units(in.byte()));
        if ((what & 0x10) == 0) {
          args.emplace_back(texts.back());
        } else if ((what & 0x20) == 0) {
          args.emplace_back(texts.back().c_str());
        } else {
          args.push_back(
              print_arg::backslashed(texts.back().c_str(), u'/', u'#'));
        }
        break;
      case 1:
        args.emplace_back(static_cast<std::int32_t>(in.u32()));
        break;
      case 2:
        args.emplace_back(in.u32());
        break;
      default:
        args.emplace_back(in.byte() % 2 == 1);
        break;
    }
  }
  const std::string_view fmt = in.rest();
  std::string out = "kept";
  format_with(out, fmt, args);
  FUZZ_CHECK(out.compare(0, 4, "kept") == 0);
  const std::size_t pct = fmt.find('%');
  FUZZ_CHECK(out.compare(4, pct == std::string_view::npos ? fmt.size() : pct,
                         fmt.substr(0, pct)) == 0);
  if (pct == std::string_view::npos) FUZZ_CHECK(out.size() == 4 + fmt.size());

  check_drivers(fmt, args, out.substr(4));
  check_compiled_formats(args);
}

void checked(korvo_fuzz::byte_reader& in) {
  std::string fmt, expected;
  std::vector<std::u16string> texts;
  texts.reserve(6);
  std::vector<print_arg> args;
  while (!in.empty()) {
    const std::uint8_t what = in.byte();
    if (what % 4 == 0) {  // literal text without '%'
      for (char c : in.bytes(in.byte() % 16)) {
        if (c == '%') c = '+';
        fmt.push_back(c);
        expected.push_back(c);
      }
      continue;
    }
    if (what % 4 == 1) {
      fmt += "%%";
      expected += "%";
      continue;
    }
    // A conversion.
    const std::uint8_t shape = in.byte();
    const char conv = "sdu"[shape % 3];
    const bool zero = conv != 's' && (shape & 0x08) != 0;
    const int width = (shape & 0x10) != 0 ? in.byte() % 24 : -1;
    std::string piece = "%";
    if (zero) piece += '0';
    if (width >= 0) piece += std::to_string(width);
    piece += conv;
    fmt += piece;
    if (args.size() == 6) continue;  // missing argument: prints nothing
    const std::uint8_t arg_kind = (what >> 2) % 4;
    std::string value;
    if (arg_kind == 0) {  // text
      texts.push_back(in.units(in.byte() % 8));
      args.emplace_back(texts.back());
      korvo::append_utf8(value, texts.back());
      if (conv != 's') value.clear();  // mismatch: nothing
    } else {
      const std::uint32_t bits = in.u32();
      args.emplace_back(arg_kind == 1
                            ? print_arg(static_cast<std::int32_t>(bits))
                        : arg_kind == 2 ? print_arg(bits)
                                        : print_arg((bits & 1) != 0));
      const std::uint32_t shown = arg_kind == 3 ? (bits & 1) : bits;
      if (conv == 'd') {
        value = std::to_string(static_cast<std::int32_t>(shown));
      } else if (conv == 'u') {
        value = std::to_string(shown);
      }  // mismatch: nothing
    }
    if (!value.empty() || (conv == 's' && arg_kind == 0)) {
      // printf's padding: to width in bytes; zeros go after a minus sign.
      if (width > 0 && value.size() < static_cast<std::size_t>(width)) {
        const std::size_t pad = width - value.size();
        const std::size_t at = zero && value[0] == '-' ? 1 : 0;
        value.insert(at, pad, zero ? '0' : ' ');
      }
    }
    expected += value;
  }
  std::string out;
  format_with(out, std::string_view(fmt), args);
  // Every format built here compiles, and prints the same compiled.
  if (fmt.size() < 4096) {
    static korvo::compiled_format<4096> compiled;
    FUZZ_CHECK(korvo::compile_format(fmt, compiled));
  }
  if (out != expected) {
    std::fprintf(stderr, "format \"%s\"\n got \"%s\"\nwant \"%s\"\n",
                 fmt.c_str(), out.c_str(), expected.c_str());
  }
  FUZZ_CHECK(out == expected);
  check_drivers(fmt, args, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  korvo_fuzz::byte_reader in(data, size);
  if (in.byte() % 2 == 0) {
    arbitrary(in);
  } else {
    checked(in);
  }
  return 0;
}
