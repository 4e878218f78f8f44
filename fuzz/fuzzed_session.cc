#include "fuzz/fuzzed_session.h"

#include <climits>
#include <iterator>

namespace korvo_fuzz {
namespace {

// Characters that matter to the listings: the compact form's separators, the
// escape character, a format's percent sign, letters for the tag filter to
// fold, and a few outside ASCII.
constexpr char16_t kAlphabet[] = u"/#\\%sdE2001e\u00E9\u00C9 '=\uFFFD";

class fake_field_def final : public IRfidFieldDef {
 public:
  explicit fake_field_def(fuzzed_session& s) : s_(s) {}
  std::int32_t id() override { return s_.number(); }
  const char16_t* name() override { return s_.text(); }
  std::int32_t type() override { return s_.number(); }
  const char16_t* description() override { return s_.text(); }
  bool hasValueDescription() override { return s_.flag(); }
  const char16_t* longDescription() override { return s_.text(); }
  std::int32_t maximum() override { return s_.number(); }
  std::int32_t minimum() override { return s_.number(); }

 private:
  fuzzed_session& s_;
};

// A list whose count() answers afresh each time and whose item() makes a new
// element, or none.
template <class List, class Element, class Made>
class fake_list final : public List {
 public:
  explicit fake_list(fuzzed_session& s) : s_(s) {}
  std::uint32_t count() override { return s_.count(); }
  Element* item(std::uint32_t) override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<Made>(s_));
  }

 private:
  fuzzed_session& s_;
};

using fake_field_def_list =
    fake_list<IRfidFieldDefList, IRfidFieldDef, fake_field_def>;

class fake_format final : public IRfidTagFormat {
 public:
  explicit fake_format(fuzzed_session& s) : s_(s) {}
  const char16_t* description() override { return s_.text(); }
  std::int32_t formatId() override { return s_.number(); }
  bool isEnabled() override { return s_.flag(); }
  const char16_t* markets() override { return s_.text(); }
  std::int32_t ordinal() override { return s_.number(); }
  const char16_t* usages() override { return s_.text(); }
  void reserved7() override {}
  IRfidFieldDefList* fieldDefs() override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<fake_field_def_list>(s_));
  }

 private:
  fuzzed_session& s_;
};

using fake_format_list =
    fake_list<IRfidTagFormatList, IRfidTagFormat, fake_format>;

class fake_value final : public IRfidFieldValue {
 public:
  explicit fake_value(fuzzed_session& s) : s_(s) {}
  const char16_t* name() override { return s_.text(); }
  const char16_t* value() override { return s_.text(); }
  const char16_t* valueDescription() override { return s_.text(); }

 private:
  fuzzed_session& s_;
};

using fake_value_list =
    fake_list<IRfidFieldValueList, IRfidFieldValue, fake_value>;

class fake_tag final : public IRfidTag {
 public:
  explicit fake_tag(fuzzed_session& s) : s_(s) {}
  void reserved1() override {}
  void release() override {}
  const FILETIME* firstSeen() override { return s_.time(); }
  const char16_t* id() override { return s_.text(); }
  bool security() override { return s_.flag(); }
  bool secured() override { return s_.flag(); }
  std::int32_t format() override { return s_.number(); }
  std::int32_t type() override { return s_.number(); }
  IRfidFieldValueList* fieldValues() override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<fake_value_list>(s_));
  }

 private:
  fuzzed_session& s_;
};

class fake_tag_list final : public IRfidTagList {
 public:
  explicit fake_tag_list(fuzzed_session& s) : s_(s) {}
  void reserved1() override {}
  void reserved2() override {}
  std::uint32_t count() override { return s_.count(); }
  IRfidTag* item(std::uint32_t) override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<fake_tag>(s_));
  }

 private:
  fuzzed_session& s_;
};

class fake_item final : public IRfidItem {
 public:
  explicit fake_item(fuzzed_session& s) : s_(s) {}
  const FILETIME* firstSeen() override { return s_.time(); }
  bool valid() override { return s_.flag(); }
  bool secured() override { return s_.flag(); }
  const char16_t* id() override { return s_.text(); }
  std::int32_t type() override { return s_.number(); }
  IRfidTagList* tags() override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<fake_tag_list>(s_));
  }

 private:
  fuzzed_session& s_;
};

class fake_item_list final : public IRfidItemList {
 public:
  explicit fake_item_list(fuzzed_session& s) : s_(s) {}
  std::uint32_t count() override { return s_.count(); }
  IRfidItem* item(std::uint32_t) override {
    if (s_.missing()) return nullptr;
    return s_.keep(std::make_unique<fake_item>(s_));
  }
  void release() override {}

 private:
  fuzzed_session& s_;
};

}  // namespace

const char16_t* fuzzed_session::text() {
  const std::uint8_t how = in_.byte();
  if (how % 8 == 0) return nullptr;
  const std::size_t length = (how >> 3) % 12;
  std::u16string t;
  if (how % 8 <= 4) {
    for (std::size_t k = 0; k < length && !in_.empty(); ++k) {
      t.push_back(kAlphabet[in_.byte() % (std::size(kAlphabet) - 1)]);
    }
  } else {
    t = in_.units(length);  // any units, surrogates on their own included
  }
  for (char16_t& c : t) {
    if (c == u'\n' || c == u'\r') c = u' ';
  }
  // A zero unit inside ends the text early, as it would for the client.
  return texts_.emplace_back(std::move(t)).c_str();
}

std::int32_t fuzzed_session::number() {
  switch (in_.byte() % 8) {
    case 0:
      return 0;
    case 1:
      return -1;
    case 2:
      return INT32_MIN;
    case 3:
      return INT32_MAX;
    case 4:
      return 9;  // the last item type with a name
    case 5:
      return 10;  // the first without
    default:
      return static_cast<std::int32_t>(in_.u32());
  }
}

const FILETIME* fuzzed_session::time() {
  std::uint64_t v;
  switch (in_.byte() % 8) {
    case 0:
      return nullptr;
    case 1:
      v = 0;
      break;
    case 2:
      v = (std::uint64_t{1} << 63) - 1;
      break;  // the last convertible
    case 3:
      v = std::uint64_t{1} << 63;
      break;
    case 4:
      v = ~std::uint64_t{0};
      break;
    default:
      v = in_.u64();
      break;
  }
  times_.push_back(FILETIME{static_cast<std::uint32_t>(v),
                            static_cast<std::uint32_t>(v >> 32)});
  return &times_.back();
}

IRfidItemList* fuzzed_session::reading() {
  return keep(std::make_unique<fake_item_list>(*this));
}

std::int32_t fuzzed_session::getLastError(const char16_t** message) {
  const std::int32_t status = number();
  if (message != nullptr) *message = text();
  return status;
}

IRfidTagFormatList* fuzzed_session::getTagFormats() {
  gave_no_formats_ = missing();
  if (gave_no_formats_) return nullptr;
  return keep(std::make_unique<fake_format_list>(*this));
}

}  // namespace korvo_fuzz
