// The result objects the session hands to the client, built from the
// service's JSON answers.
//
// Every object returns texts that stay valid while the object lives and
// never returns null where the contract expects an object or a text (the one
// text that may be null is a field value's description). Item lists and
// created tags are deleted by their release(); format lists live until the
// session closes. Each object tree reports its bytes to the session's
// heap_meter while it lives.
#ifndef KORVO_QEL_OBJECTS_H_
#define KORVO_QEL_OBJECTS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "session/rfid_session.h"

namespace rfid_qel {

// Bytes the session holds for result objects: for each live object its own
// size plus the UTF-16 code units of its texts (with their terminators).
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

// Item and tag types outside the ten the client can name come out as 9,
// "Unknown": the client indexes its table of names without a check.
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

class field_value_impl final : public IRfidFieldValue {
 public:
  explicit field_value_impl(const nlohmann::json& j);
  const char16_t* name() override { return name_.c_str(); }
  const char16_t* value() override { return value_.c_str(); }
  const char16_t* valueDescription() override {
    return has_description_ ? description_.c_str() : nullptr;
  }
  std::size_t footprint() const;

 private:
  std::u16string name_;
  std::u16string value_;
  bool has_description_;
  std::u16string description_;
};

class field_value_list_impl final : public IRfidFieldValueList {
 public:
  explicit field_value_list_impl(const nlohmann::json& j);
  std::uint32_t count() override;
  IRfidFieldValue* item(std::uint32_t index) override;
  std::size_t footprint() const;

 private:
  std::vector<std::unique_ptr<field_value_impl>> values_;
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
  // owner: the session for a tag made by createTag (release() hands it
  // back), null for a tag of a reading (release() does nothing).
  tag_impl(const nlohmann::json& j, tag_owner* owner);
  void reserved1() override {}
  void release() override;
  const FILETIME* firstSeen() override { return &first_seen_; }
  const char16_t* id() override { return id_.c_str(); }
  bool security() override { return security_; }
  bool secured() override { return secured_; }
  std::int32_t format() override { return format_; }
  std::int32_t type() override { return type_; }
  IRfidFieldValueList* fieldValues() override { return &values_; }
  std::size_t footprint() const;

  const std::u16string& id_text() const { return id_; }
  // Takes the first-seen time the service gave when it wrote the tag. Only
  // the FILETIME's value changes, so handed-out texts stay valid.
  void set_first_seen(std::uint64_t filetime);

 private:
  tag_owner* owner_;
  FILETIME first_seen_;
  std::u16string id_;
  bool security_;
  bool secured_;
  std::int32_t format_;
  std::int32_t type_;
  field_value_list_impl values_;
};

class tag_list_impl final : public IRfidTagList {
 public:
  explicit tag_list_impl(const nlohmann::json& j);
  void reserved1() override {}
  void reserved2() override {}
  std::uint32_t count() override;
  IRfidTag* item(std::uint32_t index) override;
  std::size_t footprint() const;

 private:
  std::vector<std::unique_ptr<tag_impl>> tags_;
};

class item_impl final : public IRfidItem {
 public:
  explicit item_impl(const nlohmann::json& j);
  const FILETIME* firstSeen() override { return &first_seen_; }
  bool valid() override { return valid_; }
  bool secured() override { return secured_; }
  const char16_t* id() override { return id_.c_str(); }
  std::int32_t type() override { return type_; }
  IRfidTagList* tags() override { return &tags_; }
  std::size_t footprint() const;

 private:
  FILETIME first_seen_;
  bool valid_;
  bool secured_;
  std::u16string id_;
  std::int32_t type_;
  tag_list_impl tags_;
};

// A reading; deleted by release(), which the client calls exactly once.
class item_list_impl final : public IRfidItemList {
 public:
  // j is the answer {"items": [...]}. Adds its bytes to meter, which must
  // outlive the list.
  item_list_impl(const nlohmann::json& j, heap_meter& meter);
  ~item_list_impl();
  item_list_impl(const item_list_impl&) = delete;
  item_list_impl& operator=(const item_list_impl&) = delete;

  std::uint32_t count() override;
  IRfidItem* item(std::uint32_t index) override;
  void release() override;

 private:
  heap_meter& meter_;
  std::vector<std::unique_ptr<item_impl>> items_;
  std::size_t bytes_ = 0;
};

}  // namespace rfid_qel

#endif  // KORVO_QEL_OBJECTS_H_
