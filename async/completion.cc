#include "async/completion.h"

#include "session/error_report.h"

namespace korvo {
namespace {

// The session's status for the finished operation; a failure is printed
// under label. Runs on the notice's thread: the print is ordered before the
// run's own output by the event set afterwards.
std::int32_t notice_status(IRfidSession* session, const char16_t* label) {
  const std::int32_t status = session->getLastError(nullptr);
  if (status < 0) report_error(session, label);
  return status;
}

}  // namespace

void async_write_callback::onCompleted(std::int32_t value,
                                       IRfidSession* session) {
  heap_size = session->getHeapSize();
  result = value;
  status = notice_status(session, u"async_write");
  signal();  // last use of this object
}

void async_security_callback::onCompleted(std::int32_t, std::int32_t,
                                          IRfidSession* session) {
  heap_size = session->getHeapSize();
  status = notice_status(session, u"async_security");
  signal();  // last use of this object
}

void async_read_callback::onCompleted(IRfidItemList* list,
                                      IRfidSession* session) {
  heap_size = session->getHeapSize();
  items = list;
  status = notice_status(session, u"async_read");
  signal();  // last use of this object
}

}  // namespace korvo
