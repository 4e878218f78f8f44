#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/console_format.h"
#include "platform/utf.h"
#include "report/listings.h"
#include "report/report_text.h"

namespace korvo {
namespace {

// The lines of a reading, compiled once: they print for every record.
constexpr auto kItemCompact = compile_format(
    "ItemID=%s/ItemValid=%d/ItemSecured=%d/ItemType=%s/ItemFirstSeen=%s\n");
constexpr auto kItemReadable = compile_format(
    "Item[%u]\n  Id=%s Valid=%d Secured=%d Type=%s\n  FirstSeen=%s\n");
constexpr auto kValueWithDescriptionCompact = compile_format("/%s=%s#%s");
constexpr auto kValueCompact = compile_format("/%s=%s");
constexpr auto kValueWithDescriptionReadable =
    compile_format("    %s=%s (%s)\n");
constexpr auto kValueReadable = compile_format("    %s=%s\n");
constexpr auto kLineEnd = compile_format("\n");
constexpr auto kTagCompact = compile_format(
    "/TagId=%s/TagFormat=%d/TagType=%s/TagSecured=%d/TagSecurity=%d/"
    "TagFirstSeen=%s");
constexpr auto kTagReadable = compile_format(
    "  Tag[%u]\n    Id=%s Format=%d Type=%s Secured=%d Security=%d\n"
    "    FirstSeen=%s\n");

bool is_empty(const char16_t* text) { return text == nullptr || *text == 0; }

// A missing list counts as empty.
template <typename List>
std::uint32_t count_of(List* list) {
  return list == nullptr ? 0 : list->count();
}

// Finds the last tag whose id equals the filter. Returns false when none
// does.
bool find_selected(IRfidTagList* tags, std::u16string_view filter,
                   std::uint32_t& selected) {
  bool found = false;
  for (std::uint32_t m = 0; m < count_of(tags); ++m) {
    IRfidTag* tag = tags->item(m);
    if (tag == nullptr) continue;
    if (equals_ascii_nocase(session_text(tag->id()), filter)) {
      selected = m;
      found = true;
    }
  }
  return found;
}

void print_item(IRfidItem* item, std::uint32_t i, bool compact,
                timestamp_memo& times) {
  const char16_t* id = item->id();
  const bool valid = call_bool(item, &IRfidItem::valid);
  const bool secured = call_bool(item, &IRfidItem::secured);
  const inline_text type = item_type_name(item->type());
  const inline_text& first_seen = times.text(item->firstSeen());
  if (compact) {
    print<kItemCompact>({escape_compact_arg(id), valid, secured, type.view(),
                         first_seen.view()});
  } else {
    print<kItemReadable>(
        {i, id, valid, secured, type.view(), first_seen.view()});
  }
}

void print_field_values(IRfidFieldValueList* values, bool compact) {
  for (std::uint32_t k = 0; k < count_of(values); ++k) {
    IRfidFieldValue* v = values->item(k);
    if (v == nullptr) continue;
    const char16_t* name = v->name();
    const char16_t* value = v->value();
    // The one text the session may leave out by design.
    const char16_t* description = v->valueDescription();
    // One call per value: this runs for every field of every tag.
    if (compact) {
      // Readers of this form rely on exactly this: the name as it is, the
      // value and its description escaped.
      const print_arg escaped_value = escape_compact_arg(value);
      if (is_empty(description)) {
        print<kValueCompact>({name, escaped_value});
      } else {
        print<kValueWithDescriptionCompact>(
            {name, escaped_value, escape_compact_arg(description)});
      }
    } else if (is_empty(description)) {
      print<kValueReadable>({name, value});
    } else {
      print<kValueWithDescriptionReadable>({name, value, description});
    }
  }
}

void print_tag(IRfidTag* tag, std::uint32_t n, bool compact,
               timestamp_memo& times) {
  const char16_t* id = tag->id();
  const std::int32_t format = tag->format();
  const inline_text type = item_type_name(tag->type());
  const bool secured = call_bool(tag, &IRfidTag::secured);
  const bool security = call_bool(tag, &IRfidTag::security);
  const inline_text& first_seen = times.text(tag->firstSeen());
  if (compact) {
    print<kTagCompact>({escape_compact_arg(id), format, type.view(), secured,
                        security, first_seen.view()});
  } else {
    print<kTagReadable>(
        {n, id, format, type.view(), secured, security, first_seen.view()});
  }
  print_field_values(tag->fieldValues(), compact);
  if (compact) print<kLineEnd>();
}

}  // namespace

void print_reading(IRfidItemList* items, const report_options& options) {
  const bool compact = options.compact;
  const std::u16string_view filter = options.filter;
  if (compact && options.header) print("# TagData file\n");
  timestamp_memo times(compact);
  for (std::uint32_t i = 0; i < items->count(); ++i) {
    IRfidItem* item = items->item(i);
    if (item == nullptr) continue;
    IRfidTagList* tags = item->tags();
    std::uint32_t selected = 0;
    if (!filter.empty() && !find_selected(tags, filter, selected)) continue;
    print_item(item, i, compact, times);
    for (std::uint32_t n = 0; n < count_of(tags); ++n) {
      IRfidTag* tag = tags->item(n);
      if (tag == nullptr || (!filter.empty() && n != selected)) continue;
      print_tag(tag, n, compact, times);
    }
  }
}

}  // namespace korvo
