#include <string>
#include <string_view>

#include "platform/console.h"
#include "report/listings.h"
#include "report/report_text.h"
#include "session/error_report.h"

namespace korvo {
namespace {

void print_format(IRfidTagFormat* f, bool compact) {
  const std::int32_t id = f->formatId();
  const bool enabled = call_bool(f, &IRfidTagFormat::isEnabled);
  const char16_t* description = f->description();
  const char16_t* markets = f->markets();
  const char16_t* usages = f->usages();
  const std::int32_t ordinal = f->ordinal();
  if (compact) {
    print(
        "FormatId=%d/IsEnabled=%d/Description=%s/Markets=%s/Usages=%s/"
        "Ordinal=%d\n",
        {id, enabled, escape_compact_arg(description),
         escape_compact_arg(markets), escape_compact_arg(usages), ordinal});
  } else {
    print(
        "FormatId=%d IsEnabled=%d Description='%s' Markets='%s' Usages='%s' "
        "Ordinal=%d\n",
        {id, enabled, description, markets, usages, ordinal});
  }
}

void print_field_def(IRfidFieldDef* d, bool compact) {
  const std::int32_t id = d->id();
  const char16_t* name = d->name();
  const std::int32_t type = d->type();
  const char16_t* description = d->description();
  const bool has_value_description =
      call_bool(d, &IRfidFieldDef::hasValueDescription);
  const char16_t* long_description = d->longDescription();
  const std::int32_t minimum = d->minimum();
  const std::int32_t maximum = d->maximum();
  if (compact) {
    print(
        "/Id=%d/Name=%s/Type=%d/Description=%s/HasValueDescription=%d/"
        "LongDescription=%s/Minimum=%d/Maximum=%d\n",
        {id, escape_compact_arg(name), type, escape_compact_arg(description),
         has_value_description, escape_compact_arg(long_description), minimum,
         maximum});
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
  for (std::uint32_t j = 0; j < formats->count(); ++j) {
    IRfidTagFormat* f = formats->item(j);
    if (f == nullptr) continue;
    print_format(f, compact);
    IRfidFieldDefList* defs = f->fieldDefs();
    if (defs == nullptr) continue;
    for (std::uint32_t k = 0; k < defs->count(); ++k) {
      IRfidFieldDef* d = defs->item(k);
      if (d != nullptr) print_field_def(d, compact);
    }
  }
  return 0;
}

}  // namespace korvo
