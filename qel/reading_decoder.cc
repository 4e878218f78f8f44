#include "qel/reading_decoder.h"

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/wire_time.h"
#include "qel/answer_decoder.h"
#include "qel/json_events.h"

namespace rfid_qel {
namespace {

// Why an answer is refused for its nesting, by the parser or the decoder.
std::string too_deep_reason() {
  return "it nests deeper than " + std::to_string(kMaxAnswerDepth) + " levels";
}

}  // namespace

// The handler of the answer's JSON events (qel/json_events.h). Each event
// either fills the object being read or, when the answer breaks the
// protocol, records why and returns false, which stops the parser.
//
// Where the parser is (place_) follows the answer's fixed shape: the
// answer's object, the items list, an item, its tags list, a tag, its values
// list, a value. Inside an object, member_ names the member whose value
// comes next. A value the session does not know is skipped by counting its
// nesting depth (skip_), so no nesting is too deep.
class reading_decoder {
 public:
  enum class mode { reading, created_tag };

  reading_decoder(mode m, object_store& store, tag_owner* owner)
      : mode_(m), store_(store), owner_(owner) {}

  // What was decoded: the items of a reading, or the created tag.
  std::vector<item_impl>& items() { return items_; }
  tag_impl* created() { return created_; }
  const std::string& error() const { return error_; }
  bool complete() const { return place_ == place::after; }

  // The events.
  bool null() {
    bool r;
    if (!scalar_prelude(r)) return r;
    return set_absent(std::exchange(member_, member::none));
  }

  bool boolean(bool v) {
    bool r;
    if (!scalar_prelude(r)) return r;
    switch (const member m = std::exchange(member_, member::none)) {
      case member::valid:
        item_.valid_ = v;
        return true;
      case member::secured:
        (place_ == place::item ? item_.secured_ : tag_.secured_) = v;
        return true;
      case member::security:
        tag_.security_ = v;
        return true;
      default:
        return wrong_type(m);
    }
  }

  bool number_integer(std::int64_t v) {
    bool r;
    if (!scalar_prelude(r)) return r;
    const member m = std::exchange(member_, member::none);
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
      return wrong_type(m);
    }
    return set_int(m, static_cast<std::int32_t>(v));
  }

  bool number_unsigned(std::uint64_t v) {
    bool r;
    if (!scalar_prelude(r)) return r;
    const member m = std::exchange(member_, member::none);
    if (v >
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      return wrong_type(m);
    }
    return set_int(m, static_cast<std::int32_t>(v));
  }

  bool number_float(double) {
    bool r;
    if (!scalar_prelude(r)) return r;
    return wrong_type(std::exchange(member_, member::none));
  }

  bool string(std::string_view v) {
    bool r;
    if (!scalar_prelude(r)) return r;
    switch (const member m = std::exchange(member_, member::none)) {
      case member::id:
        (place_ == place::item ? item_.id_ : tag_.id_) = store_.add_text(v);
        return true;
      case member::name:
        value_.name_ = store_.add_text(v);
        return true;
      case member::value:
        value_.value_ = store_.add_text(v);
        return true;
      case member::description:
        value_.description_ = store_.add_text(v);
        return true;
      case member::first_seen:
        if (const auto t = tag_protocol::parse_utc_timestamp(v)) {
          const FILETIME ft{static_cast<std::uint32_t>(*t),
                            static_cast<std::uint32_t>(*t >> 32)};
          (place_ == place::item ? item_.first_seen_ : tag_.first_seen_) = ft;
          return true;
        }
        return wrong_type(m);
      default:
        return wrong_type(m);
    }
  }

  bool start_object() {
    if (skip_ > 0) return deeper();
    switch (place_) {
      case place::before:
        place_ = place::root;
        return true;
      case place::items:
        item_ = item_impl();
        tags_.clear();
        place_ = place::item;
        return true;
      case place::tags:
        begin_tag();
        return true;
      case place::values:
        value_ = field_value_impl();
        place_ = place::value;
        return true;
      default:
        break;
    }
    switch (const member m = std::exchange(member_, member::none)) {
      case member::skip:
        skip_ = 1;
        return true;
      case member::tag:
        begin_tag();
        return true;
      default:
        return wrong_type(m);
    }
  }

  bool key(std::string_view k) {
    if (skip_ == 0) member_ = member_named(k);
    return true;
  }

  bool end_object() {
    if (skip_ > 0) return --skip_, true;
    switch (place_) {
      case place::root:
        place_ = place::after;
        return true;
      case place::item:
        return end_item();
      case place::tag:
        return end_tag();
      case place::value:
        return end_value();
      default:
        return fail("the answer is out of shape");  // the parser prevents it
    }
  }

  bool start_array() {
    if (skip_ > 0) return deeper();
    if (const char* why = not_an_object()) return fail(why);
    switch (const member m = std::exchange(member_, member::none)) {
      case member::skip:
        skip_ = 1;
        return true;
      case member::items:
        items_.clear();
        place_ = place::items;
        return true;
      case member::tags:
        tags_.clear();
        place_ = place::tags;
        return true;
      case member::values:
        values_.clear();
        place_ = place::values;
        return true;
      default:
        return wrong_type(m);
    }
  }

  bool end_array() {
    if (skip_ > 0) return --skip_, true;
    switch (place_) {
      case place::items:
        place_ = place::root;
        return true;
      case place::tags:
        place_ = place::item;
        return true;
      case place::values:
        place_ = place::tag;
        return true;
      default:
        return fail("the answer is out of shape");  // the parser prevents it
    }
  }

 private:
  enum class place : std::uint8_t {
    before,
    root,
    items,
    item,
    tags,
    tag,
    values,
    value,
    after
  };
  enum class member : std::uint8_t {
    none,
    skip,
    items,
    tag,
    id,
    valid,
    secured,
    security,
    type,
    format,
    first_seen,
    tags,
    values,
    name,
    value,
    description
  };

  // What a member's value must be.
  enum class kind : std::uint8_t { list, object, text, flag, number, time };

  // Bit of each object of the answer in member_info::where.
  static constexpr unsigned bit(place p) {
    return 1u << static_cast<unsigned>(p);
  }

  // Every member the session knows: its name, the kind of its value and the
  // objects it belongs to (in the answer's object, `items` for a reading and
  // `tag` for a created tag). Members not listed for an object are skipped.
  struct member_info {
    member id;
    std::string_view name;
    kind type;
    unsigned where;
  };
  static constexpr unsigned kRoot = 1u << 15;  // root, read as a reading
  static std::span<const member_info> members() {
    static constexpr member_info kMembers[] = {
        {member::items, "items", kind::list, kRoot},
        {member::tag, "tag", kind::object, bit(place::root)},
        {member::id, "id", kind::text, bit(place::item) | bit(place::tag)},
        {member::type, "type", kind::number,
         bit(place::item) | bit(place::tag)},
        {member::valid, "valid", kind::flag, bit(place::item)},
        {member::secured, "secured", kind::flag,
         bit(place::item) | bit(place::tag)},
        {member::first_seen, "first_seen", kind::time,
         bit(place::item) | bit(place::tag)},
        {member::tags, "tags", kind::list, bit(place::item)},
        {member::format, "format", kind::number, bit(place::tag)},
        {member::security, "security", kind::flag, bit(place::tag)},
        {member::values, "values", kind::list, bit(place::tag)},
        {member::name, "name", kind::text, bit(place::value)},
        {member::value, "value", kind::text, bit(place::value)},
        {member::description, "description", kind::text, bit(place::value)},
    };
    return kMembers;
  }

  static const member_info* info(member m) {
    for (const member_info& i : members()) {
      if (i.id == m) return &i;
    }
    return nullptr;
  }

  member member_named(std::string_view k) const {
    // The answer's own object has `items` in a reading, `tag` otherwise.
    const unsigned here =
        place_ == place::root && mode_ == mode::reading ? kRoot : bit(place_);
    // Views compare the length first, then the bytes, without a length scan.
    for (const member_info& i : members()) {
      if ((i.where & here) != 0 && i.name == k) return i.id;
    }
    return member::skip;
  }

  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  // One level deeper into a skipped value. The answer's own shape is seven
  // levels deep at most, so a skipped value may nest what is left of the
  // limit.
  bool deeper() {
    if (++skip_ + 7 <= kMaxAnswerDepth) return true;
    return fail(too_deep_reason());
  }

  // Counts one more object of the answer against the limit.
  bool one_more_object() {
    if (++objects_ <= kMaxReadingObjects) return true;
    return fail("it holds more than " + std::to_string(kMaxReadingObjects) +
                " items, tags and field values");
  }

  bool wrong_type(member m) {
    const member_info* i = info(m);
    if (i == nullptr) return fail("the answer is out of shape");
    const char* what = "";
    switch (i->type) {
      case kind::object:
        return fail("a " + std::string(i->name) + " is not a JSON object");
      case kind::list:
        what = "is not a list";
        break;
      case kind::flag:
        what = "is not true or false";
        break;
      case kind::number:
        what = "is not a 32-bit integer";
        break;
      case kind::time:
        what = "is not a UTC time such as 2024-05-13T09:41:07Z";
        break;
      case kind::text:
        what = "is not a text";
        break;
    }
    return fail("'" + std::string(i->name) + "' " + what);
  }

  // In a list only objects may come; null when an object may come here.
  const char* not_an_object() const {
    switch (place_) {
      case place::before:
        return "the answer is not a JSON object";
      case place::items:
        return "an item is not a JSON object";
      case place::tags:
        return "a tag is not a JSON object";
      case place::values:
        return "a field value is not a JSON object";
      default:
        return nullptr;
    }
  }

  // Common start of every scalar event: true when the scalar is a member's
  // value for the event to take; otherwise r is the event's result (a
  // skipped value, or a scalar where an object must be).
  bool scalar_prelude(bool& r) {
    if (skip_ > 0) {
      r = true;
      return false;
    }
    if (const char* why = not_an_object()) {
      r = fail(why);
      return false;
    }
    if (member_ == member::skip) {
      member_ = member::none;
      r = true;
      return false;
    }
    return true;
  }

  bool set_int(member m, std::int32_t v) {
    switch (m) {
      case member::type:
        // Types the client has no name for come out as "Unknown".
        if (v < 0 || v > kUnknownType) v = kUnknownType;
        (place_ == place::item ? item_.type_ : tag_.type_) = v;
        return true;
      case member::format:
        tag_.format_ = v;
        return true;
      default:
        return wrong_type(m);
    }
  }

  // A null member counts as absent: it takes its default again.
  bool set_absent(member m) {
    const bool in_item = place_ == place::item;
    switch (m) {
      case member::skip:
        return true;
      case member::items:
        items_.clear();
        return true;
      case member::tag:
        created_ = nullptr;
        return true;
      case member::id:
        (in_item ? item_.id_ : tag_.id_) = nullptr;
        return true;
      case member::valid:
        item_.valid_ = true;
        return true;
      case member::secured:
        (in_item ? item_.secured_ : tag_.secured_) = false;
        return true;
      case member::security:
        tag_.security_ = false;
        return true;
      case member::type:
        (in_item ? item_.type_ : tag_.type_) = kUnknownType;
        return true;
      case member::format:
        tag_.format_ = 0;
        return true;
      case member::first_seen:
        (in_item ? item_.first_seen_ : tag_.first_seen_) = FILETIME{0, 0};
        return true;
      case member::tags:
        tags_.clear();
        return true;
      case member::values:
        values_.clear();
        return true;
      case member::name:
        value_.name_ = nullptr;
        return true;
      case member::value:
        value_.value_ = nullptr;
        return true;
      case member::description:
        value_.description_ = nullptr;
        return true;
      default:
        return fail("the answer is out of shape");
    }
  }

  void begin_tag() {
    tag_ = tag_impl();
    values_.clear();
    place_ = place::tag;
  }

  bool end_value() {
    if (!one_more_object()) return false;
    if (value_.name_ == nullptr) return fail("'name' is missing");
    if (value_.value_ == nullptr) value_.value_ = store_.add_text({});
    values_.push_back(value_);
    place_ = place::values;
    return true;
  }

  bool end_tag() {
    if (!one_more_object()) return false;
    if (tag_.id_ == nullptr) return fail("'id' is missing");
    if (*tag_.id_ == 0) return fail("a tag has an empty 'id'");
    tag_.values_.first_ = store_.add_array(values_.data(), values_.size());
    tag_.values_.count_ = static_cast<std::uint32_t>(values_.size());
    if (mode_ == mode::reading) {
      tags_.push_back(tag_);
      place_ = place::tags;
    } else {
      tag_.owner_ = owner_;
      created_ = store_.add_array(&tag_, 1);
      place_ = place::root;
    }
    return true;
  }

  bool end_item() {
    if (!one_more_object()) return false;
    if (item_.id_ == nullptr) return fail("'id' is missing");
    item_.tags_.first_ = store_.add_array(tags_.data(), tags_.size());
    item_.tags_.count_ = static_cast<std::uint32_t>(tags_.size());
    items_.push_back(item_);
    place_ = place::items;
    return true;
  }

  const mode mode_;
  object_store& store_;
  tag_owner* const owner_;
  place place_ = place::before;
  member member_ = member::none;
  std::size_t skip_ = 0;
  std::size_t objects_ = 0;
  std::string error_;

  // The objects being read, and the finished children of the current item
  // and tag, copied into the store in one run when their parent ends.
  item_impl item_;
  tag_impl tag_;
  field_value_impl value_;
  std::vector<item_impl> items_;
  std::vector<tag_impl> tags_;
  std::vector<field_value_impl> values_;
  tag_impl* created_ = nullptr;
};

namespace {

// Runs the parser over answer; false with the reason in why when the answer
// is not complete and well-formed.
bool run(reading_decoder& decoder, std::string_view answer, std::string& why) {
  json_fault fault;
  const bool ok = parse_json(answer, decoder, fault, kMaxAnswerDepth);
  if (ok && decoder.complete()) return true;
  switch (fault.what) {
    case json_fault::kind::malformed:
      why = "it is not well-formed JSON (at byte " +
            std::to_string(fault.position) + ": " + fault.message + ")";
      break;
    case json_fault::kind::too_deep:
      why = too_deep_reason();
      break;
    default:
      why = decoder.error().empty() ? "it is not a complete JSON object"
                                    : decoder.error();
  }
  return false;
}

}  // namespace

std::unique_ptr<item_list_impl> decode_reading(std::string_view answer,
                                               heap_meter& meter,
                                               std::string& why) {
  std::unique_ptr<item_list_impl> list(new item_list_impl(meter));
  // A reading's objects and UTF-16 texts usually take more bytes than its
  // compact JSON text; a guess too high costs at most one large page.
  list->store_.expect(answer.size());
  reading_decoder decoder(reading_decoder::mode::reading, list->store_,
                          nullptr);
  if (!run(decoder, answer, why)) return nullptr;
  std::vector<item_impl>& items = decoder.items();
  list->items_ = list->store_.add_array(items.data(), items.size());
  list->count_ = static_cast<std::uint32_t>(items.size());
  list->account();
  return list;
}

bool decode_created_tag(std::string_view answer, tag_owner* owner,
                        created_tag_holder& out, std::string& why) {
  auto store = std::make_unique<object_store>();
  reading_decoder decoder(reading_decoder::mode::created_tag, *store, owner);
  if (!run(decoder, answer, why)) return false;
  if (decoder.created() == nullptr) {
    why = "'tag' is missing";
    return false;
  }
  out.tag = decoder.created();
  out.store = std::move(store);
  return true;
}

}  // namespace rfid_qel
