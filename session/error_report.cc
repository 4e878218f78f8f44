#include "session/error_report.h"

#include "platform/console.h"

namespace korvo {

int report_error(IRfidSession* session, const char16_t* label) {
  const char16_t* message = nullptr;
  const std::int32_t status = session->getLastError(&message);
  if (status >= 0) return 0;
  if (message != nullptr) {
    print("%s: %s\n", {label, message});
  } else {
    print("%s: status %d\n", {label, status});
  }
  return 1;
}

}  // namespace korvo
