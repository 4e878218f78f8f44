#include "async/completion.h"

#include "session/error_report.h"

namespace korvo {
namespace {

// True when the finished operation failed, which is printed under label.
// The status is asked once, with its message, so that the line and the
// verdict come from the same answer even of a session whose answers change
// from one query to the next. Runs on the notice's thread: the print is
// ordered before the run's own output by the event set afterwards.
bool notice_failed(IRfidSession* session, const char16_t* label) {
  return report_error(session, label) != 0;
}

}  // namespace

void async_write_callback::onCompleted(std::int32_t value,
                                       IRfidSession* session) {
  heap_size = session->getHeapSize();
  result = value;
  failed = notice_failed(session, u"async_write");
  signal();  // last use of this object
}

void async_security_callback::onCompleted(std::int32_t, std::int32_t,
                                          IRfidSession* session) {
  heap_size = session->getHeapSize();
  failed = notice_failed(session, u"async_security");
  signal();  // last use of this object
}

void async_read_callback::onCompleted(IRfidItemList* list,
                                      IRfidSession* session) {
  heap_size = session->getHeapSize();
  items = list;
  failed = notice_failed(session, u"async_read");
  signal();  // last use of this object
}

}  // namespace korvo
