#include <string>
#include <string_view>

#include "platform/console.h"
#include "report/listings.h"
#include "report/report_text.h"
#include "session/error_report.h"

namespace korvo {
namespace {

// Scratch space for the escaped texts of one compact line; it keeps its
// capacity from line to line.
struct escape_buffers {
  std::u16string first, second, third;
};

void print_format(IRfidTagFormat* f, bool compact, escape_buffers& b) {
  const std::int32_t id = f->formatId();
  const bool enabled = f->isEnabled();
  const std::u16string_view description = session_text(f->description());
  const std::u16string_view markets = session_text(f->markets());
  const std::u16string_view usages = session_text(f->usages());
  const std::int32_t ordinal = f->ordinal();
  if (compact) {
    print(
        "FormatId=%d/IsEnabled=%d/Description=%s/Markets=%s/Usages=%s/"
        "Ordinal=%d\n",
        {id, enabled, escape_compact(description, b.first),
         escape_compact(markets, b.second), escape_compact(usages, b.third),
         ordinal});
  } else {
    print(
        "FormatId=%d IsEnabled=%d Description='%s' Markets='%s' Usages='%s' "
        "Ordinal=%d\n",
        {id, enabled, description, markets, usages, ordinal});
  }
}

void print_field_def(IRfidFieldDef* d, bool compact, escape_buffers& b) {
  const std::int32_t id = d->id();
  const std::u16string_view name = session_text(d->name());
  const std::int32_t type = d->type();
  const std::u16string_view description = session_text(d->description());
  const bool has_value_description = d->hasValueDescription();
  const std::u16string_view long_description =
      session_text(d->longDescription());
  const std::int32_t minimum = d->minimum();
  const std::int32_t maximum = d->maximum();
  if (compact) {
    print(
        "/Id=%d/Name=%s/Type=%d/Description=%s/HasValueDescription=%d/"
        "LongDescription=%s/Minimum=%d/Maximum=%d\n",
        {id, escape_compact(name, b.first), type,
         escape_compact(description, b.second), has_value_description,
         escape_compact(long_description, b.third), minimum, maximum});
  } else {
    print(
        "  Id=%d Name='%s' Type=%d Description='%s' HasValueDescription=%d\n"
        "    LongDescription='%s' Minimum=%d Maximum=%d\n",
        {id, name, type, description, has_value_description, long_description,
         minimum, maximum});
  }
}

}  // namespace

int list_formats(IRfidSession* session, const report_options& options) {
  IRfidTagFormatList* formats = session->getTagFormats();
  if (formats == nullptr) return report_error(session, u"getTagFormats");
  const bool compact = options.compact;
  if (compact && options.header) print("# TagFormat file\n");
  escape_buffers buffers;
  for (std::uint32_t j = 0; j < formats->count(); ++j) {
    IRfidTagFormat* f = formats->item(j);
    if (f == nullptr) continue;
    print_format(f, compact, buffers);
    IRfidFieldDefList* defs = f->fieldDefs();
    if (defs == nullptr) continue;
    for (std::uint32_t k = 0; k < defs->count(); ++k) {
      IRfidFieldDef* d = defs->item(k);
      if (d != nullptr) print_field_def(d, compact, buffers);
    }
  }
  return 0;
}

}  // namespace korvo
