// Decodes the service's answers that carry items and tags straight from
// their JSON text into result objects, as the text is parsed: no document
// tree is built, so a reading of thousands of tags costs one pass over the
// text and a few blocks of memory.
//
// Every answer is checked as it is read: malformed JSON, members of the
// wrong type, missing required members and values out of range make the
// decoding fail with a reason (a short English phrase such as "'id' is
// missing") and nothing is handed out. Members the session does not know are
// skipped, however deeply nested; a member given twice counts with its last
// value, and a null member counts as absent. An answer that nests deeper
// than kMaxAnswerDepth or holds more than kMaxReadingObjects objects is
// refused.
#ifndef KORVO_QEL_READING_DECODER_H_
#define KORVO_QEL_READING_DECODER_H_

#include <memory>
#include <string>
#include <string_view>

#include "qel/result_objects.h"

namespace rfid_qel {

// Most items, tags and field values together in one answer; with the
// answer's size limit this bounds what a reading costs.
inline constexpr std::size_t kMaxReadingObjects = 200000;

// Decodes the answer {"items": [ITEM, ...]} of a reading. On success
// returns the list, whose bytes are added to meter (which must outlive it);
// on failure returns null and the reason in why.
std::unique_ptr<item_list_impl> decode_reading(std::string_view answer,
                                               heap_meter& meter,
                                               std::string& why);

// Decodes the answer {"tag": TAG} of createTag into out; the tag's release()
// goes to owner. On failure returns false and the reason in why.
bool decode_created_tag(std::string_view answer, tag_owner* owner,
                        created_tag_holder& out, std::string& why);

}  // namespace rfid_qel

#endif  // KORVO_QEL_READING_DECODER_H_
