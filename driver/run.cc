#include "driver/run.h"

#include "platform/console.h"
#include "platform/library.h"
#include "platform/tick.h"
#include "platform/utf.h"
#include "report/listings.h"
#include "session/binding.h"

namespace korvo {
namespace {

// At the pause the line is read into a zeroed 16-byte buffer, so at most 15
// bytes are taken.
constexpr std::size_t kPauseLineBytes = 15;

report_options report_options_of(const run_options& o) {
  return {o.compact, o.header, o.filter};
}

// Creates a tag from the write data and writes it. A written tag's id becomes
// the filter. The created tag is released exactly once, after its write.
void write_stage(IRfidSession* session, run_options& o, int& flag) {
  const std::uint32_t t0 = tick_count();
  IRfidTag* tag = session->createTag(o.write_data);
  if (tag == nullptr) flag = report_error(session, u"createTag");
  // A session that returns no tag with a non-negative status leaves nothing
  // to write or name; the stage goes on to its elapsed-time line.
  if (flag == 0 && tag != nullptr) {
    if (!session->writeTag(tag)) flag = report_error(session, u"writeTag");
    if (flag == 0) {
      const char16_t* id = tag->id();
      o.filter = id != nullptr ? id : u"";
      print("Tag '%s' written.\n", {o.filter});
    }
  }
  if (tag != nullptr) tag->release();
  print("Elapsed (write): %ums\n", {elapsed_ms(t0, tick_count())});
}

void security_stage(IRfidSession* session, run_options& o, int& flag) {
  const std::uint32_t t0 = tick_count();
  if (!session->setTagSecurity(o.tag_id, o.secure)) {
    flag = report_error(session, u"setTagSecurity");
  }
  if (flag == 0) {
    o.filter = o.tag_id;
    print("Tag '%s' security %s.\n",
          {o.tag_id, o.secure ? u"set" : u"cleared"});
  }
  print("Elapsed (secure): %ums\n", {elapsed_ms(t0, tick_count())});
}

void read_stage(IRfidSession* session, const run_options& o, int& flag) {
  const std::uint32_t t0 = tick_count();
  IRfidItemList* items = session->readItems();
  print("Elapsed (read): %ums\n", {elapsed_ms(t0, tick_count())});
  if (items != nullptr) {
    print_reading(items, report_options_of(o));
    items->release();
  } else {
    flag = report_error(session, u"readItems");
  }
}

void pause_stage() {
  print("\nPress Enter to exit!\n");
  // The prompt must show before the read, also when output is a pipe.
  flush_output();
  read_line(kPauseLineBytes);
}

}  // namespace

int run_session(IRfidSession* session, run_options& o, int open_flag) {
  int flag = open_flag;
  if (flag == 0 && o.formats) {
    flag = list_formats(session, report_options_of(o));
  }
  if (flag == 0 && (o.print || o.tag_id != nullptr || o.write_data != nullptr)) {
    if (!session->connectReader()) {
      flag = report_error(session, u"connectReader");
    }
  }
  if (flag == 0 && o.write_data != nullptr) write_stage(session, o, flag);
  if (flag == 0 && o.tag_id != nullptr) security_stage(session, o, flag);
  if (flag == 0 && o.print) read_stage(session, o, flag);
  if (flag == 0 && o.pause) pause_stage();
  if (o.heap) {
    print("HEAP_PROPERTY_ACTUAL_SIZE=%u\n", {session->getHeapSize()});
  }
  if (o.disconnect) session->disconnectReader();
  session->closeSession();
  return flag;
}

int run_korvo(const std::vector<std::string>& args) {
  std::vector<std::u16string> wide;
  wide.reserve(args.size());
  for (const std::string& a : args) wide.push_back(utf8_to_utf16(a));

  std::string subfolder;
  append_utf8(subfolder, kSubfolderLibraryPath);
  const char16_t* initial_library = file_exists(subfolder)
                                        ? kSubfolderLibraryPath
                                        : kDefaultLibraryPath;
  run_options options = parse_arguments(wide, initial_library);
  if (!options.has_work()) {
    print(kUsageText);
    return 2;
  }

  const binding bound = bind_session(options.library_path);
  if (bound.session == nullptr) return bound.exit_code;
  IRfidSession* session = bound.session;

  const std::u16string url = service_url(options.host, options.service_url);
  int flag = 0;
  if (!session->openService(url.c_str())) {
    flag = report_error(session, u"openService");
  }
  return run_session(session, options, flag);
}

}  // namespace korvo
