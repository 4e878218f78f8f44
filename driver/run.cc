#include "driver/run.h"

#include "async/completion.h"
#include "platform/console.h"
#include "platform/event.h"
#include "platform/library.h"
#include "platform/tick.h"
#include "platform/utf.h"
#include "report/listings.h"
#include "session/binding.h"
#include "session/error_report.h"

namespace korvo {
namespace {

// The pause takes one line of at most 15 bytes from standard input; what
// was typed is ignored, and bytes beyond those stay unread.
constexpr std::size_t kPauseLineBytes = 15;

report_options report_options_of(const run_options& o) {
  return {o.compact, o.header, o.filter};
}

// Writes out what was printed so far, before a session call that may wait
// for the service (or before the pause waits for the user): a run cut short
// while it waits (Ctrl-C, a supervisor's SIGTERM, a timeout's kill) keeps
// every line already printed, such as that of a tag written. Each stage
// calls it before its first such call and before taking its start time,
// and prints nothing between its calls, so a listing, printed between two
// stages, still goes out in large writes. An asynchronous operation's wait
// is covered by the flush before its start: once started, its notice may
// print from another thread, and only the notice touches the output until
// the wait returns.
void before_waiting() { flush_output(); }

// How an asynchronous operation went: not run (no event to wait on; the
// caller runs it synchronously), started and waited for, or refused.
enum class async_outcome { not_run, started, refused };

// Runs one asynchronous operation: start() hands the completion c to the
// session. A started operation is waited for without a time limit, so the
// session is done with c (and with the tag or text it was given) before the
// caller goes on; a notice that reported a failure fails the operation for
// the run (the notice has printed its own line). A refused start is
// reported under label and not waited for. Then the completion's heap figure
// is printed, when asked for and the flag is clear. Starts nothing when c
// has no event: an operation whose completion cannot be waited on must not
// be started, and runs synchronously instead.
template <typename Completion, typename Start>
async_outcome run_async(IRfidSession* session, const run_options& o,
                        Completion& c, const char16_t* label, int& flag,
                        Start start) {
  if (!c.has_event()) return async_outcome::not_run;
  async_outcome outcome = async_outcome::started;
  if (start()) {
    c.wait(kWaitForever);
    if (c.failed) flag = 1;
  } else {
    flag = report_error(session, label);
    outcome = async_outcome::refused;
  }
  if (flag == 0 && o.heap) print("ASYNC_HEAP_SIZE=%u\n", {c.heap_size});
  return outcome;
}

// Creates a tag from the write data and writes it. A written tag's id becomes
// the filter. The created tag is released exactly once, after its write.
void write_stage(IRfidSession* session, run_options& o, int& flag) {
  before_waiting();
  const std::uint32_t t0 = tick_count();
  IRfidTag* tag = session->createTag(o.write_data);
  if (tag == nullptr) flag = report_error(session, u"createTag");
  // A session that returns no tag with a non-negative status leaves nothing
  // to write or name; the stage goes on to its elapsed-time line.
  if (flag == 0 && tag != nullptr) {
    bool ran_async = false;
    if (o.async) {
      async_write_callback done;
      ran_async =
          run_async(session, o, done, u"writeTagAsync", flag, [&] {
            return call_bool(session, &IRfidSession::writeTagAsync, tag, &done);
          }) != async_outcome::not_run;
    }
    if (!ran_async && !call_bool(session, &IRfidSession::writeTag, tag)) {
      flag = report_error(session, u"writeTag");
    }
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
  before_waiting();
  const std::uint32_t t0 = tick_count();
  bool ran_async = false;
  if (o.async) {
    async_security_callback done;
    ran_async = run_async(session, o, done, u"setTagSecurityAsync", flag, [&] {
                  return call_bool(session, &IRfidSession::setTagSecurityAsync,
                                   o.tag_id, o.secure, &done);
                }) != async_outcome::not_run;
  }
  if (!ran_async &&
      !call_bool(session, &IRfidSession::setTagSecurity, o.tag_id, o.secure)) {
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
  before_waiting();
  const std::uint32_t t0 = tick_count();
  IRfidItemList* items = nullptr;
  async_outcome outcome = async_outcome::not_run;
  if (o.async) {
    async_read_callback done;
    outcome = run_async(session, o, done, u"readItemsAsync", flag, [&] {
      return call_bool(session, &IRfidSession::readItemsAsync, &done);
    });
    items = done.items;  // none when the start was refused
  }
  if (outcome == async_outcome::not_run) items = session->readItems();
  print("Elapsed (read): %ums\n", {elapsed_ms(t0, tick_count())});
  if (items != nullptr) {
    print_reading(items, report_options_of(o));
    items->release();
  } else {
    const int reported = report_error(session, u"readItems");
    // A reading whose notice failed stays failed even when the session's
    // status has turned non-negative since; otherwise the report sets the
    // flag as every report does.
    const bool notice_failed = outcome == async_outcome::started && flag != 0;
    if (!notice_failed) flag = reported;
  }
}

void pause_stage() {
  print("\nPress Enter to exit!\n");
  // The prompt must show before the read, also when output is a pipe.
  before_waiting();
  read_line(kPauseLineBytes);
}

}  // namespace

int run_session(IRfidSession* session, run_options& o, int open_flag) {
  int flag = open_flag;
  if (flag == 0 && o.formats) {
    before_waiting();
    flag = list_formats(session, report_options_of(o));
  }
  if (flag == 0 && (o.print || o.tag_id != nullptr || o.write_data != nullptr)) {
    before_waiting();
    if (!call_bool(session, &IRfidSession::connectReader)) {
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
  before_waiting();
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
  // A library path given on the command line opens the file the user named,
  // byte for byte, even where its name is no UTF-8. A bare name (no '/')
  // names a file in the working folder, as any file argument does, when one
  // is there; otherwise it goes to the loader's search, which never looks in
  // the working folder.
  std::u16string library_path;
  for (std::size_t k = 0; k < wide.size(); ++k) {
    if (options.library_path == wide[k].c_str()) {
      std::string path = args[k];
      if (!path.empty() && path.find('/') == std::string::npos &&
          file_exists(path)) {
        path.insert(0, "./");
      }
      library_path = path_to_utf16(path);
      options.library_path = library_path.c_str();
    }
  }

  const binding bound = bind_session(options.library_path);
  if (bound.session == nullptr) return bound.exit_code;
  IRfidSession* session = bound.session;

  const std::u16string url = build_service_url(options);
  int flag = 0;
  before_waiting();
  if (!call_bool(session, &IRfidSession::openService, url.c_str())) {
    flag = report_error(session, u"openService");
  }
  return run_session(session, options, flag);
}

}  // namespace korvo
