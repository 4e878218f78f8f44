// The two listings: the tag formats and the reading report.
#ifndef KORVO_REPORT_LISTINGS_H_
#define KORVO_REPORT_LISTINGS_H_

#include <string_view>

#include "session/rfid_session.h"

namespace korvo {

struct report_options {
  bool compact = false;
  bool header = false;
  std::u16string_view filter;  // empty: every tag
};

// Lists the session's tag formats with their field definitions. Returns the
// error flag: report_error's result when the session gives no list, else 0.
int list_formats(IRfidSession* session, const report_options& options);

// Prints a reading. The list stays the caller's to release.
void print_reading(IRfidItemList* items, const report_options& options);

}  // namespace korvo

#endif  // KORVO_REPORT_LISTINGS_H_
