// The two listings: the tag formats and the reading report.
//
// Both take whatever the session hands out without trusting its shape: a
// missing text prints as empty, a missing list counts as empty, a missing
// element is skipped (the numbers printed keep their gaps) and a missing
// FILETIME prints as all zeros. Every count is asked again before each step,
// so a list whose count changes while it is walked is walked by the new count.
// Neither listing keeps anything per record: the output is streamed.
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
// The objects stay the session's.
int list_formats(IRfidSession* session, const report_options& options);

// Prints a reading: every item with its tags and their field values, or with
// a filter only the items holding a tag whose id equals it (folding ASCII
// letter case alone), each with the last such tag. The list stays the
// caller's to release.
void print_reading(IRfidItemList* items, const report_options& options);

}  // namespace korvo

#endif  // KORVO_REPORT_LISTINGS_H_
