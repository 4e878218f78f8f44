// The result objects the session hands to the client, built from the
// service's JSON answers.
//
// Every object returns texts that stay valid while the object lives and
// never returns null where the contract expects an object or a text (the one
// text that may be null is a field value's description). Item lists and
// created tags are deleted by their release(); format lists live until the
// session closes. Each object tree reports its bytes to the session's
// heap_meter while it lives.
//
// Format lists are small and built from the answer's bounded JSON document
// (qel/answer_decoder.h); a reading and a created tag are decoded from the
// answer's text as it is parsed (qel/reading_decoder.h), straight into an
// object_store. Both decoders report a broken answer the same way: no
// object, and a reason. Every text is the service's text as
// qel/service_text.h hands it out.
#ifndef KORVO_QEL_RESULT_OBJECTS_H_
#define KORVO_QEL_RESULT_OBJECTS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "session/rfid_session.h"

namespace rfid_qel {

// Bytes the session holds for result objects: for each live object its own
// size plus the UTF-16 code units of its texts (with their terminators); for
// the objects in an object_store, the store's blocks.
class heap_meter {
 public:
  void add(std::size_t n) { bytes_ += n; }
  void remove(std::size_t n) { bytes_ -= n; }
  // Clamped to what the contract's unsigned 32-bit figure can say.
  std::uint32_t bytes() const;

 private:
  std::atomic<std::uint64_t> bytes_{0};
};

// An answer of the service that does not keep the protocol.
class decode_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Item and tag types outside the ten that have names come out as 9,
// "Unknown", as the README promises. korvo itself prints a type without a
// name as its number, but any client built for the contract may look the
// type up in a table of the ten names, and the library keeps such a client
// within that table.
inline constexpr std::int32_t kUnknownType = 9;

class field_def_impl final : public IRfidFieldDef {
 public:
  explicit field_def_impl(const nlohmann::json& j);
  std::int32_t id() override { return id_; }
  const char16_t* name() override { return name_.c_str(); }
  std::int32_t type() override { return type_; }
  const char16_t* description() override { return description_.c_str(); }
  bool hasValueDescription() override { return has_value_description_; }
  const char16_t* longDescription() override {
    return long_description_.c_str();
  }
  std::int32_t maximum() override { return maximum_; }
  std::int32_t minimum() override { return minimum_; }
  std::size_t footprint() const;

 private:
  std::int32_t id_;
  std::u16string name_;
  std::int32_t type_;
  std::u16string description_;
  bool has_value_description_;
  std::u16string long_description_;
  std::int32_t maximum_;
  std::int32_t minimum_;
};

class field_def_list_impl final : public IRfidFieldDefList {
 public:
  explicit field_def_list_impl(const nlohmann::json& j);
  std::uint32_t count() override;
  IRfidFieldDef* item(std::uint32_t index) override;
  std::size_t footprint() const;

 private:
  std::vector<std::unique_ptr<field_def_impl>> defs_;
};

class tag_format_impl final : public IRfidTagFormat {
 public:
  explicit tag_format_impl(const nlohmann::json& j);
  const char16_t* description() override { return description_.c_str(); }
  std::int32_t formatId() override { return id_; }
  bool isEnabled() override { return enabled_; }
  const char16_t* markets() override { return markets_.c_str(); }
  std::int32_t ordinal() override { return ordinal_; }
  const char16_t* usages() override { return usages_.c_str(); }
  void reserved7() override {}
  IRfidFieldDefList* fieldDefs() override { return &fields_; }
  std::size_t footprint() const;

 private:
  std::u16string description_;
  std::int32_t id_;
  bool enabled_;
  std::u16string markets_;
  std::int32_t ordinal_;
  std::u16string usages_;
  field_def_list_impl fields_;
};

// Lives until the session closes.
class tag_format_list_impl final : public IRfidTagFormatList {
 public:
  // j is the answer {"formats": [...]}.
  explicit tag_format_list_impl(const nlohmann::json& j);
  std::uint32_t count() override;
  IRfidTagFormat* item(std::uint32_t index) override;
  std::size_t footprint() const;

 private:
  std::vector<std::unique_ptr<tag_format_impl>> formats_;
};

// Holds the objects and texts of one answer in a few large blocks, freed
// together: a reading of thousands of tags costs a handful of allocations
// instead of several per object. What it hands out stays where it is until
// the store is destroyed. Objects placed in it must be trivially
// destructible (they are never destroyed one by one).
class object_store {
 public:
  object_store() = default;
  object_store(const object_store&) = delete;
  object_store& operator=(const object_store&) = delete;

  // The UTF-16 form of a UTF-8 text (see korvo::utf8_to_utf16), terminated.
  // An empty text is a shared empty text and takes no room.
  const char16_t* add_text(std::string_view utf8);

  // Copies n objects into one run; null when n is 0.
  template <typename T>
  T* add_array(const T* first, std::size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    if (n == 0) return nullptr;
    T* out = static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
    for (std::size_t i = 0; i < n; ++i) new (out + i) T(first[i]);
    return out;
  }

  // Bytes of the blocks held (what getHeapSize counts for them).
  std::size_t footprint() const { return held_; }

  // Says that the store will probably hold about bytes in all. While what
  // it holds stays that far below, it takes its blocks in large pages
  // (platform/pages.h); beyond, or without this, in small ones, so a wrong
  // guess costs at most one large page.
  void expect(std::size_t bytes) { expected_ = bytes; }

 private:
  struct block_deleter {
    void operator()(std::byte* p) const;
  };
  void* allocate(std::size_t bytes, std::size_t align);
  // A new block of size bytes aligned to align, counted in held_.
  std::byte* new_block(std::size_t size, std::size_t align);

  std::vector<std::unique_ptr<std::byte, block_deleter>> blocks_;
  std::byte* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t held_ = 0;
  std::size_t next_block_ = 512;
  std::size_t expected_ = 0;
};

// The objects below make up a reading and a created tag. They hold plain
// pointers into an object_store (texts, and the runs of their children) and
// are filled by the reading decoder (qel/reading_decoder.h).

class field_value_impl final : public IRfidFieldValue {
 public:
  const char16_t* name() override { return name_; }
  const char16_t* value() override { return value_; }
  const char16_t* valueDescription() override { return description_; }

 private:
  friend class reading_decoder;
  const char16_t* name_ = nullptr;
  const char16_t* value_ = nullptr;
  const char16_t* description_ = nullptr;  // null: no description
};

// A run of count objects of type T in a store, seen through the list
// interface I.
template <typename I, typename T, typename E>
class run_list : public I {
 public:
  std::uint32_t count() override { return count_; }
  E* item(std::uint32_t index) override {
    return index < count_ ? first_ + index : nullptr;
  }

 protected:
  friend class reading_decoder;
  T* first_ = nullptr;
  std::uint32_t count_ = 0;
};

class field_value_list_impl final
    : public run_list<IRfidFieldValueList, field_value_impl, IRfidFieldValue> {
};

class tag_impl;

// Where a created tag goes when the client releases it.
class tag_owner {
 public:
  virtual void release_created_tag(tag_impl* tag) = 0;

 protected:
  ~tag_owner() = default;
};

class tag_impl final : public IRfidTag {
 public:
  void reserved1() override {}
  // Hands a created tag back to its owner (the session); a tag of a reading
  // has none and does nothing.
  void release() override;
  const FILETIME* firstSeen() override { return &first_seen_; }
  const char16_t* id() override { return id_; }
  bool security() override { return security_; }
  bool secured() override { return secured_; }
  std::int32_t format() override { return format_; }
  std::int32_t type() override { return type_; }
  IRfidFieldValueList* fieldValues() override { return &values_; }

  // Takes the first-seen time the service gave when it wrote the tag. Only
  // the FILETIME's value changes, so handed-out texts stay valid.
  void set_first_seen(std::uint64_t filetime);

 private:
  friend class reading_decoder;
  tag_owner* owner_ = nullptr;
  FILETIME first_seen_{0, 0};
  const char16_t* id_ = nullptr;
  bool security_ = false;
  bool secured_ = false;
  std::int32_t format_ = 0;
  std::int32_t type_ = kUnknownType;
  field_value_list_impl values_;
};

class tag_list_impl final : public run_list<IRfidTagList, tag_impl, IRfidTag> {
 public:
  void reserved1() override {}
  void reserved2() override {}
};

class item_impl final : public IRfidItem {
 public:
  const FILETIME* firstSeen() override { return &first_seen_; }
  bool valid() override { return valid_; }
  bool secured() override { return secured_; }
  const char16_t* id() override { return id_; }
  std::int32_t type() override { return type_; }
  IRfidTagList* tags() override { return &tags_; }

 private:
  friend class reading_decoder;
  FILETIME first_seen_{0, 0};
  bool valid_ = true;
  bool secured_ = false;
  const char16_t* id_ = nullptr;
  std::int32_t type_ = kUnknownType;
  tag_list_impl tags_;
};

// A reading; deleted by release(), which the client calls exactly once.
// Reports its bytes (its own size and its store's blocks) to the session's
// heap_meter while it lives.
class item_list_impl final : public IRfidItemList {
 public:
  ~item_list_impl();
  item_list_impl(const item_list_impl&) = delete;
  item_list_impl& operator=(const item_list_impl&) = delete;

  std::uint32_t count() override { return count_; }
  IRfidItem* item(std::uint32_t index) override {
    return index < count_ ? items_ + index : nullptr;
  }
  void release() override;

 private:
  friend std::unique_ptr<item_list_impl> decode_reading(std::string_view,
                                                        heap_meter&,
                                                        std::string&);
  // meter must outlive the list.
  explicit item_list_impl(heap_meter& meter) : meter_(meter) {}
  // Counts the list's bytes into the meter, once it is complete.
  void account();

  heap_meter& meter_;
  object_store store_;
  item_impl* items_ = nullptr;
  std::uint32_t count_ = 0;
  std::size_t bytes_ = 0;
};

// A tag made by createTag, with the store that holds it. The session keeps
// it until the client releases the tag.
struct created_tag_holder {
  std::unique_ptr<object_store> store;
  tag_impl* tag = nullptr;
  // Bytes held for the tag: the holder's own size and the store's blocks.
  std::size_t footprint() const {
    return sizeof(*this) + sizeof(object_store) + store->footprint();
  }
};

}  // namespace rfid_qel

#endif  // KORVO_QEL_RESULT_OBJECTS_H_
