// A session library for benchmarks: a reading of any size whose objects are
// made on the fly from their index, so that the library's own memory stays
// the same whatever the size (the measurements then show korvo's).
//
// KORVO_BENCH_TAGS (read when the session is created; default 0) is the
// number of items in a reading; each item holds one tag with eight field
// values. The tag format list is empty. Every operation succeeds.
//
// Objects come from a small ring of slots: an item, with its tag list, tag,
// value list and values, stays valid until kSlots more items were handed
// out, and a text until its getter is called again on the same object.
// Walking a reading in order, as any client does, never sees a slot reused
// under it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/rfid_session.h"
#include "tests/support/session_stub.h"

namespace {

constexpr std::uint32_t kSlots = 4;
constexpr std::uint32_t kValues = 8;

// A text built in place; long enough for every text made here.
class text_buf {
 public:
  text_buf& clear() {
    n_ = 0;
    return *this;
  }
  text_buf& add(const char16_t* s) {
    while (*s != 0) buf_[n_++] = *s++;
    return *this;
  }
  text_buf& dec(std::uint64_t v) {
    char16_t tmp[24];
    int k = 0;
    do {
      tmp[k++] = static_cast<char16_t>(u'0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0) buf_[n_++] = tmp[--k];
    return *this;
  }
  text_buf& hex(std::uint64_t v, int digits) {
    for (int k = digits - 1; k >= 0; --k) {
      buf_[n_++] = u"0123456789ABCDEF"[(v >> (4 * k)) & 0xF];
    }
    return *this;
  }
  const char16_t* get() {
    buf_[n_] = 0;
    return buf_;
  }

 private:
  char16_t buf_[96];
  std::size_t n_ = 0;
};

// Cheap, well-mixed numbers from an index.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

struct value_kind {
  const char16_t* name;
  const char16_t* description;  // may be null
};

// Names, and descriptions: some absent, one empty, some with separators that
// the compact form escapes.
constexpr value_kind kKinds[kValues] = {
    {u"Product", u"catalogue name"},
    {u"Batch", nullptr},
    {u"Weight", u"g"},
    {u"Route", u""},
    {u"Expiry", u"yyyymmdd"},
    {u"Owner", nullptr},
    {u"Temperature", u"\u00B0C"},
    {u"Note", u"free text/with #marks"},
};

class bench_value final : public IRfidFieldValue {
 public:
  void set(std::uint32_t index, std::uint32_t kind) {
    index_ = index;
    kind_ = kind;
  }
  const char16_t* name() override { return kKinds[kind_].name; }
  const char16_t* value() override {
    const std::uint64_t r = mix(index_ * 8ULL + kind_);
    text_.clear();
    switch (kind_) {
      case 0:
        return text_.add(u"Widget-").dec(r % 1000).get();
      case 1:
        return text_.add(u"B").hex(r, 8).get();
      case 2:
        return text_.dec(r % 100000).get();
      case 3:
        return text_.add(u"DC7/Dock")
            .dec(r % 12)
            .add(u"/Bay#")
            .dec(r % 40)
            .get();
      case 4:
        return text_.add(u"2026").dec(10 + r % 3).dec(10 + r % 19).get();
      case 5:
        return text_.add(u"M\u00FCller & S\u00F6hne ").dec(r % 97).get();
      case 6:
        return text_.add(u"-").dec(r % 30).add(u".").dec(r % 10).get();
      default:
        return text_.add(u"lot ").dec(index_).get();
    }
  }
  const char16_t* valueDescription() override {
    return kKinds[kind_].description;
  }

 private:
  std::uint32_t index_ = 0;
  std::uint32_t kind_ = 0;
  text_buf text_;
};

class bench_value_list final : public IRfidFieldValueList {
 public:
  std::uint32_t count() override { return kValues; }
  IRfidFieldValue* item(std::uint32_t k) override {
    return k < kValues ? &values_[k] : nullptr;
  }
  void set(std::uint32_t index) {
    for (std::uint32_t k = 0; k < kValues; ++k) values_[k].set(index, k);
  }

 private:
  bench_value values_[kValues];
};

FILETIME filetime_of(std::uint32_t index) {
  // 2024-01-01 00:00:00 UTC plus one second per index.
  const std::uint64_t t = 133485408000000000ULL + index * 10000000ULL;
  return {static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(t >> 32)};
}

class bench_tag final : public IRfidTag {
 public:
  void set(std::uint32_t index) {
    index_ = index;
    first_seen_ = filetime_of(index);
    values_.set(index);
  }
  void reserved1() override {}
  void release() override {}
  const FILETIME* firstSeen() override { return &first_seen_; }
  const char16_t* id() override {
    return id_.clear().add(u"E2003412").hex(mix(index_), 16).get();
  }
  bool security() override { return (index_ & 2) != 0; }
  bool secured() override { return (index_ & 4) != 0; }
  std::int32_t format() override { return 1 + index_ % 5; }
  std::int32_t type() override { return index_ % 10; }
  IRfidFieldValueList* fieldValues() override { return &values_; }

 private:
  std::uint32_t index_ = 0;
  FILETIME first_seen_{};
  text_buf id_;
  bench_value_list values_;
};

class bench_tag_list final : public IRfidTagList {
 public:
  void reserved1() override {}
  void reserved2() override {}
  std::uint32_t count() override { return 1; }
  IRfidTag* item(std::uint32_t n) override { return n == 0 ? &tag_ : nullptr; }
  void set(std::uint32_t index) { tag_.set(index); }

 private:
  bench_tag tag_;
};

class bench_item final : public IRfidItem {
 public:
  void set(std::uint32_t index) {
    index_ = index;
    first_seen_ = filetime_of(index);
    tags_.set(index);
  }
  const FILETIME* firstSeen() override { return &first_seen_; }
  bool valid() override { return (index_ & 1) == 0; }
  bool secured() override { return (index_ & 4) != 0; }
  const char16_t* id() override {
    return id_.clear().add(u"urn:item:").dec(index_).get();
  }
  std::int32_t type() override { return (index_ / 10) % 10; }
  IRfidTagList* tags() override { return &tags_; }

 private:
  std::uint32_t index_ = 0;
  FILETIME first_seen_{};
  text_buf id_;
  bench_tag_list tags_;
};

class bench_item_list final : public IRfidItemList {
 public:
  explicit bench_item_list(std::uint32_t size) : size_(size) {}
  std::uint32_t count() override { return size_; }
  IRfidItem* item(std::uint32_t i) override {
    if (i >= size_) return nullptr;
    bench_item& slot = slots_[i % kSlots];
    slot.set(i);
    return &slot;
  }
  void release() override { delete this; }

 private:
  std::uint32_t size_;
  bench_item slots_[kSlots];
};

class empty_format_list final : public IRfidTagFormatList {
 public:
  std::uint32_t count() override { return 0; }
  IRfidTagFormat* item(std::uint32_t) override { return nullptr; }
};

class bench_session final : public korvo_test::session_stub {
 public:
  explicit bench_session(std::uint32_t size) : size_(size) {}
  bool openService(const char16_t*) override { return true; }
  bool connectReader() override { return true; }
  IRfidTagFormatList* getTagFormats() override { return &formats_; }
  IRfidItemList* readItems() override { return new bench_item_list(size_); }

 private:
  std::uint32_t size_;
  empty_format_list formats_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IRfidSession*
RfidQelCreateSessionEx(int version) {
  if (version != kRfidInterfaceVersion) return nullptr;
  const char* tags = std::getenv("KORVO_BENCH_TAGS");
  static bench_session session(
      tags != nullptr
          ? static_cast<std::uint32_t>(std::strtoul(tags, nullptr, 10))
          : 0);
  return &session;
}
