#include "qel/objects.h"

#include <limits>

#include "platform/utf.h"
#include "qel/wire_time.h"

namespace rfid_qel {
namespace {

using nlohmann::json;

const json* member(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return nullptr;
  return &*it;
}

void require_object(const json& j, const char* what) {
  if (!j.is_object()) {
    throw decode_error(std::string(what) + " is not a JSON object");
  }
}

// A text member; absent or null gives an empty text unless it is required.
std::u16string text_at(const json& j, const char* key, bool required = false) {
  const json* v = member(j, key);
  if (v == nullptr) {
    if (required) throw decode_error(std::string("'") + key + "' is missing");
    return {};
  }
  if (!v->is_string()) {
    throw decode_error(std::string("'") + key + "' is not a text");
  }
  return korvo::utf8_to_utf16(v->get_ref<const std::string&>());
}

std::int32_t int_at(const json& j, const char* key, std::int32_t fallback) {
  const json* v = member(j, key);
  if (v == nullptr) return fallback;
  if (v->is_number_unsigned()) {
    const auto u = v->get<std::uint64_t>();
    if (u <=
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      return static_cast<std::int32_t>(u);
    }
  } else if (v->is_number_integer()) {
    const auto i = v->get<std::int64_t>();
    if (i >= std::numeric_limits<std::int32_t>::min() &&
        i <= std::numeric_limits<std::int32_t>::max()) {
      return static_cast<std::int32_t>(i);
    }
  }
  throw decode_error(std::string("'") + key + "' is not a 32-bit integer");
}

bool bool_at(const json& j, const char* key, bool fallback) {
  const json* v = member(j, key);
  if (v == nullptr) return fallback;
  if (!v->is_boolean()) {
    throw decode_error(std::string("'") + key + "' is not true or false");
  }
  return v->get<bool>();
}

std::int32_t type_at(const json& j, const char* key) {
  const std::int32_t t = int_at(j, key, kUnknownType);
  return t >= 0 && t <= kUnknownType ? t : kUnknownType;
}

FILETIME filetime_of(std::uint64_t v) {
  return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
}

FILETIME time_at(const json& j, const char* key) {
  const json* v = member(j, key);
  if (v == nullptr) return {0, 0};
  if (v->is_string()) {
    if (auto t = parse_utc_timestamp(v->get_ref<const std::string&>())) {
      return filetime_of(*t);
    }
  }
  throw decode_error(std::string("'") + key +
                     "' is not a UTC time such as 2024-05-13T09:41:07Z");
}

const json& array_at(const json& j, const char* key) {
  static const json kEmpty = json::array();
  const json* v = member(j, key);
  if (v == nullptr) return kEmpty;
  if (!v->is_array()) {
    throw decode_error(std::string("'") + key + "' is not a list");
  }
  return *v;
}

std::size_t text_bytes(const std::u16string& s) {
  return (s.capacity() + 1) * sizeof(char16_t);
}

template <typename Ptr>
auto element(const std::vector<Ptr>& v, std::uint32_t index)
    -> decltype(v[0].get()) {
  return index < v.size() ? v[index].get() : nullptr;
}

template <typename Ptr>
std::uint32_t size_of(const std::vector<Ptr>& v) {
  return static_cast<std::uint32_t>(v.size());
}

template <typename Ptr>
std::size_t footprint_of(const std::vector<Ptr>& v) {
  std::size_t n = v.capacity() * sizeof(Ptr);
  for (const Ptr& p : v) n += p->footprint();
  return n;
}

}  // namespace

std::uint32_t heap_meter::bytes() const {
  const std::uint64_t b = bytes_.load();
  return b > std::numeric_limits<std::uint32_t>::max()
             ? std::numeric_limits<std::uint32_t>::max()
             : static_cast<std::uint32_t>(b);
}

field_def_impl::field_def_impl(const json& j) {
  require_object(j, "a field definition");
  id_ = int_at(j, "id", 0);
  name_ = text_at(j, "name", true);
  type_ = int_at(j, "type", 0);
  description_ = text_at(j, "description");
  has_value_description_ = bool_at(j, "has_value_description", false);
  long_description_ = text_at(j, "long_description");
  maximum_ = int_at(j, "maximum", 0);
  minimum_ = int_at(j, "minimum", 0);
}

std::size_t field_def_impl::footprint() const {
  return sizeof(*this) + text_bytes(name_) + text_bytes(description_) +
         text_bytes(long_description_);
}

field_def_list_impl::field_def_list_impl(const json& j) {
  defs_.reserve(j.size());
  for (const json& e : j) defs_.push_back(std::make_unique<field_def_impl>(e));
}
std::uint32_t field_def_list_impl::count() { return size_of(defs_); }
IRfidFieldDef* field_def_list_impl::item(std::uint32_t i) {
  return element(defs_, i);
}
std::size_t field_def_list_impl::footprint() const {
  return footprint_of(defs_);
}

tag_format_impl::tag_format_impl(const json& j)
    : fields_((require_object(j, "a tag format"), array_at(j, "fields"))) {
  description_ = text_at(j, "description");
  id_ = int_at(j, "id", 0);
  enabled_ = bool_at(j, "enabled", true);
  markets_ = text_at(j, "markets");
  ordinal_ = int_at(j, "ordinal", 0);
  usages_ = text_at(j, "usages");
}

std::size_t tag_format_impl::footprint() const {
  return sizeof(*this) + text_bytes(description_) + text_bytes(markets_) +
         text_bytes(usages_) + fields_.footprint();
}

tag_format_list_impl::tag_format_list_impl(const json& j) {
  require_object(j, "the answer");
  const json& formats = array_at(j, "formats");
  formats_.reserve(formats.size());
  for (const json& e : formats) {
    formats_.push_back(std::make_unique<tag_format_impl>(e));
  }
}
std::uint32_t tag_format_list_impl::count() { return size_of(formats_); }
IRfidTagFormat* tag_format_list_impl::item(std::uint32_t i) {
  return element(formats_, i);
}
std::size_t tag_format_list_impl::footprint() const {
  return sizeof(*this) + footprint_of(formats_);
}

field_value_impl::field_value_impl(const json& j) {
  require_object(j, "a field value");
  name_ = text_at(j, "name", true);
  value_ = text_at(j, "value");
  has_description_ = member(j, "description") != nullptr;
  description_ = text_at(j, "description");
}

std::size_t field_value_impl::footprint() const {
  return sizeof(*this) + text_bytes(name_) + text_bytes(value_) +
         text_bytes(description_);
}

field_value_list_impl::field_value_list_impl(const json& j) {
  values_.reserve(j.size());
  for (const json& e : j) {
    values_.push_back(std::make_unique<field_value_impl>(e));
  }
}
std::uint32_t field_value_list_impl::count() { return size_of(values_); }
IRfidFieldValue* field_value_list_impl::item(std::uint32_t i) {
  return element(values_, i);
}
std::size_t field_value_list_impl::footprint() const {
  return footprint_of(values_);
}

tag_impl::tag_impl(const json& j, tag_owner* owner)
    : owner_(owner),
      values_((require_object(j, "a tag"), array_at(j, "values"))) {
  first_seen_ = time_at(j, "first_seen");
  id_ = text_at(j, "id", true);
  if (id_.empty()) throw decode_error("a tag has an empty 'id'");
  security_ = bool_at(j, "security", false);
  secured_ = bool_at(j, "secured", false);
  format_ = int_at(j, "format", 0);
  type_ = type_at(j, "type");
}

void tag_impl::release() {
  if (owner_ != nullptr) owner_->release_created_tag(this);
}

std::size_t tag_impl::footprint() const {
  return sizeof(*this) + text_bytes(id_) + values_.footprint();
}

void tag_impl::set_first_seen(std::uint64_t filetime) {
  first_seen_ = filetime_of(filetime);
}

tag_list_impl::tag_list_impl(const json& j) {
  tags_.reserve(j.size());
  for (const json& e : j)
    tags_.push_back(std::make_unique<tag_impl>(e, nullptr));
}
std::uint32_t tag_list_impl::count() { return size_of(tags_); }
IRfidTag* tag_list_impl::item(std::uint32_t i) { return element(tags_, i); }
std::size_t tag_list_impl::footprint() const { return footprint_of(tags_); }

item_impl::item_impl(const json& j)
    : tags_((require_object(j, "an item"), array_at(j, "tags"))) {
  first_seen_ = time_at(j, "first_seen");
  valid_ = bool_at(j, "valid", true);
  secured_ = bool_at(j, "secured", false);
  id_ = text_at(j, "id", true);
  type_ = type_at(j, "type");
}

std::size_t item_impl::footprint() const {
  return sizeof(*this) + text_bytes(id_) + tags_.footprint();
}

item_list_impl::item_list_impl(const json& j, heap_meter& meter)
    : meter_(meter) {
  require_object(j, "the answer");
  const json& items = array_at(j, "items");
  items_.reserve(items.size());
  for (const json& e : items) items_.push_back(std::make_unique<item_impl>(e));
  bytes_ = sizeof(*this) + footprint_of(items_);
  meter_.add(bytes_);
}

item_list_impl::~item_list_impl() { meter_.remove(bytes_); }

std::uint32_t item_list_impl::count() { return size_of(items_); }
IRfidItem* item_list_impl::item(std::uint32_t i) { return element(items_, i); }
void item_list_impl::release() { delete this; }

}  // namespace rfid_qel
