#include "qel/result_objects.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "platform/pages.h"
#include "qel/service_text.h"

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
  return service_text_utf16(v->get_ref<const std::string&>());
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

FILETIME filetime_of(std::uint64_t v) {
  return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
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

const char16_t* object_store::add_text(std::string_view utf8) {
  static const char16_t kEmpty[1] = {0};
  if (utf8.empty()) return kEmpty;
  // Room for the most units the text can give; what is left over goes back
  // to the current block.
  const std::size_t room = (utf8.size() + 1) * sizeof(char16_t);
  auto* out = static_cast<char16_t*>(allocate(room, alignof(char16_t)));
  char16_t* end = write_service_text(out, utf8);
  *end++ = 0;
  if (reinterpret_cast<std::byte*>(out) + room == next_) {
    const std::size_t unused =
        room - static_cast<std::size_t>(end - out) * sizeof(char16_t);
    next_ -= unused;
    left_ += unused;
  }
  return out;
}

void object_store::block_deleter::operator()(std::byte* p) const {
  std::free(p);
}

std::byte* object_store::new_block(std::size_t size, std::size_t align) {
  void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, size)
                                              : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  std::unique_ptr<std::byte, block_deleter> block(static_cast<std::byte*>(p));
  blocks_.push_back(std::move(block));
  held_ += size;
  return static_cast<std::byte*>(p);
}

void* object_store::allocate(std::size_t bytes, std::size_t align) {
  // Blocks come from malloc, aligned for every type the store holds. They
  // start small, so that one created tag takes little, and double up to
  // kMaxBlock; a large run gets a block of its own. A store expected to
  // hold megabytes takes large pages while it stays below what it expects.
  constexpr std::size_t kMaxBlock = 64 * 1024;
  std::size_t pad =
      static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(next_)) &
      (align - 1);
  if (next_ == nullptr || pad + bytes > left_) {
    if (bytes > kMaxBlock / 4) {
      std::byte* run = new_block(bytes, alignof(std::max_align_t));
      // Filled to its end at once: large pages cost no memory here.
      korvo::advise_large_pages(run, bytes);
      return run;
    }
    std::size_t size = std::max(next_block_, bytes);
    if (expected_ >= held_ + korvo::kLargePage) {
      size = korvo::kLargePage;
      next_ = new_block(size, korvo::kLargePage);
      korvo::advise_large_pages(next_, size);
    } else {
      next_block_ = std::min(next_block_ * 2, kMaxBlock);
      next_ = new_block(size, alignof(std::max_align_t));
    }
    left_ = size;
    pad = 0;
  }
  std::byte* out = next_ + pad;
  next_ = out + bytes;
  left_ -= pad + bytes;
  return out;
}

void tag_impl::release() {
  if (owner_ != nullptr) owner_->release_created_tag(this);
}

void tag_impl::set_first_seen(std::uint64_t filetime) {
  first_seen_ = filetime_of(filetime);
}

void item_list_impl::account() {
  bytes_ = sizeof(*this) + store_.footprint();
  meter_.add(bytes_);
}

item_list_impl::~item_list_impl() { meter_.remove(bytes_); }

void item_list_impl::release() { delete this; }

}  // namespace rfid_qel
