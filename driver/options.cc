#include "driver/options.h"

#include <string_view>

#include "platform/utf.h"

namespace korvo {
namespace {

enum class keyword {
  formats,
  print,
  heap,
  disconnect,
  compact,
  header,
  pause,
  async,
  host,
  addr,
  set,
  clr,
  flt,
  dll,
  write,
};

struct keyword_entry {
  std::u16string_view name;
  keyword key;
  bool takes_value;
};

constexpr keyword_entry kKeywords[] = {
    {u"formats", keyword::formats, false},
    {u"print", keyword::print, false},
    {u"heap", keyword::heap, false},
    {u"disconnect", keyword::disconnect, false},
    {u"compact", keyword::compact, false},
    {u"header", keyword::header, false},
    {u"pause", keyword::pause, false},
    {u"async", keyword::async, false},
    {u"host", keyword::host, true},
    {u"addr", keyword::addr, true},
    {u"set", keyword::set, true},
    {u"clr", keyword::clr, true},
    {u"flt", keyword::flt, true},
    {u"dll", keyword::dll, true},
    {u"write", keyword::write, true},
};

const keyword_entry* find_keyword(std::u16string_view arg) {
  for (const keyword_entry& k : kKeywords) {
    if (equals_ascii_nocase(arg, k.name)) return &k;
  }
  return nullptr;
}

}  // namespace

const char kUsageText[] =
    "\n"
    "  usage: korvo <params>\n"
    "\n"
    "    print         print tags on reader\n"
    "    formats       list tag formats\n"
    "    set <tagid>   set tag security\n"
    "    clr <tagid>   clear tag security\n"
    "    flt <tagid>   print tag only with given tagid\n"
    "    host <addr>   use <addr> instead of localhost\n"
    "    addr <addr>   use <addr> for creating service\n"
    "    write <data>  write data to tag\n"
    "    disconnect    disconnect reader\n"
    "    compact       compact format for print\n"
    "    header        print header in compact\n"
    "    pause         wait for keypress before exit\n"
    "    heap          print heap usage\n"
    "    async         asynchronous web service calls\n";

bool run_options::has_work() const {
  return !stop && (formats || print || tag_id != nullptr ||
                   write_data != nullptr);
}

run_options parse_arguments(const std::vector<std::u16string>& args,
                            const char16_t* initial_library_path) {
  run_options o;
  o.library_path = initial_library_path;
  std::size_t i = 1;
  while (!o.stop && i < args.size()) {
    const keyword_entry* k = find_keyword(args[i]);
    if (k == nullptr || (k->takes_value && i + 1 >= args.size())) {
      o.stop = true;
      break;
    }
    const char16_t* value = k->takes_value ? args[i + 1].c_str() : nullptr;
    switch (k->key) {
      case keyword::formats: o.formats = true; break;
      case keyword::print: o.print = true; break;
      case keyword::heap: o.heap = true; break;
      case keyword::disconnect: o.disconnect = true; break;
      case keyword::compact: o.compact = true; break;
      case keyword::header: o.header = true; break;
      case keyword::pause: o.pause = true; break;
      case keyword::async: o.async = true; break;
      case keyword::host: o.host = value; break;
      case keyword::addr: o.service_url = value; break;
      case keyword::set: o.tag_id = value, o.secure = true; break;
      case keyword::clr: o.tag_id = value, o.secure = false; break;
      case keyword::flt: o.filter = value; break;
      case keyword::dll: o.library_path = value; break;
      case keyword::write: o.write_data = value; break;
    }
    i += k->takes_value ? 2 : 1;
  }
  return o;
}

std::u16string build_service_url(const run_options& options) {
  if (options.service_url != nullptr) return options.service_url;
  std::u16string built = u"http://";
  if (options.host != nullptr) built += options.host;
  built += u":21645/TagService";
  return built;
}

}  // namespace korvo
