// Feeds both listings random session data: missing objects and texts, odd
// UTF-16, extreme numbers and FILETIMEs, counts that change while a list is
// walked. The listings run in process against an in-memory session; their
// output is captured and must be well-formed UTF-8, and they must keep to the
// contract (every index below a count asked for right before it, no release, no
// unused slot). Meant to run under the sanitizers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fuzz/well_formed.h"
#include "platform/console.h"
#include "report/listings.h"
#include "tests/support/output_capture.h"
#include "tests/support/session_stub.h"

namespace korvo {
namespace {

// What the listings did that the contract forbids.
struct violations {
  int stale_count = 0;  // an item asked for without a fresh count above it
  int forbidden_calls = 0;
};

class generator {
 public:
  explicit generator(std::uint32_t seed) : rng_(seed) {}

  std::uint32_t below(std::uint32_t n) { return rng_() % n; }
  bool chance(std::uint32_t percent) { return below(100) < percent; }

  // Null, or a short text of code units drawn to hit the escapes, percent
  // signs, non-ASCII, surrogates (paired or not) and an early terminator.
  std::shared_ptr<std::u16string> text() {
    if (chance(10)) return nullptr;
    static constexpr char16_t kUnits[] = {
        u'a',   u'Z',   u'/',   u'#',   u'\\',  u'%',   u's',
        u'=',   u' ',   u'\n',  0x00E9, 0x00C9, 0xFFFF, 0xFFFD,
        0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0};
    auto t = std::make_shared<std::u16string>();
    for (std::uint32_t n = below(12); n > 0; --n) {
      t->push_back(kUnits[below(std::size(kUnits))]);
    }
    return t;
  }

  std::int32_t number() {
    static constexpr std::int32_t kNumbers[] = {
        0, 1, 9, 10, 12, -1, INT32_MIN, INT32_MAX, 4, 7};
    return chance(80) ? kNumbers[below(std::size(kNumbers))]
                      : static_cast<std::int32_t>(rng_());
  }

  bool flag() { return chance(50); }

  std::unique_ptr<FILETIME> filetime() {
    if (chance(10)) return nullptr;
    static constexpr std::uint64_t kValues[] = {
        0, 116444736000000000, (std::uint64_t{1} << 63) - 1,
        std::uint64_t{1} << 63, ~std::uint64_t{0}};
    const std::uint64_t v = chance(50) ? kValues[below(std::size(kValues))]
                                       : (std::uint64_t{rng_()} << 32 | rng_());
    return std::make_unique<FILETIME>(FILETIME{
        static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)});
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

const char16_t* get(const std::shared_ptr<std::u16string>& t) {
  return t ? t->c_str() : nullptr;
}

// A list whose elements may be missing and whose count may differ from the
// number of elements and change from call to call.
template <typename Element>
class random_list {
 public:
  template <typename Make>
  random_list(generator& g, violations& v, Make make)
      : v_(&v), rng_(g.rng()()) {
    for (std::uint32_t n = g.below(6); n > 0; --n) {
      elements_.push_back(g.chance(15) ? nullptr : make());
    }
    changing_ = g.chance(30);
  }

  std::uint32_t count() {
    last_count_ = changing_ ? static_cast<std::uint32_t>(rng_() % 7)
                            : static_cast<std::uint32_t>(elements_.size());
    counted_ = true;
    return last_count_;
  }

  Element* item(std::uint32_t i) {
    // Each step must be guarded by a count asked for right before it.
    if (!counted_ || i >= last_count_) ++v_->stale_count;
    counted_ = false;
    return i < elements_.size() ? elements_[i].get() : nullptr;
  }

 private:
  violations* v_;
  std::mt19937 rng_;
  std::vector<std::unique_ptr<Element>> elements_;
  bool changing_ = false;
  std::uint32_t last_count_ = 0;
  bool counted_ = false;
};

class field_value final : public IRfidFieldValue {
 public:
  explicit field_value(generator& g)
      : name_(g.text()), value_(g.text()), description_(g.text()) {}
  const char16_t* name() override { return get(name_); }
  const char16_t* value() override { return get(value_); }
  const char16_t* valueDescription() override { return get(description_); }

 private:
  std::shared_ptr<std::u16string> name_, value_, description_;
};

class field_value_list final : public IRfidFieldValueList {
 public:
  field_value_list(generator& g, violations& v)
      : list_(g, v, [&] { return std::make_unique<field_value>(g); }) {}
  std::uint32_t count() override { return list_.count(); }
  IRfidFieldValue* item(std::uint32_t i) override { return list_.item(i); }

 private:
  random_list<field_value> list_;
};

class fake_tag final : public IRfidTag {
 public:
  fake_tag(generator& g, violations& v)
      : v_(&v),
        first_seen_(g.filetime()),
        id_(g.text()),
        security_(g.flag()),
        secured_(g.flag()),
        format_(g.number()),
        type_(g.number()),
        values_(g.chance(10) ? nullptr
                             : std::make_unique<field_value_list>(g, v)) {}
  void reserved1() override { ++v_->forbidden_calls; }
  void release() override { ++v_->forbidden_calls; }
  const FILETIME* firstSeen() override { return first_seen_.get(); }
  const char16_t* id() override { return get(id_); }
  bool security() override { return security_; }
  bool secured() override { return secured_; }
  std::int32_t format() override { return format_; }
  std::int32_t type() override { return type_; }
  IRfidFieldValueList* fieldValues() override { return values_.get(); }

  const std::shared_ptr<std::u16string>& id_text() const { return id_; }

 private:
  violations* v_;
  std::unique_ptr<FILETIME> first_seen_;
  std::shared_ptr<std::u16string> id_;
  bool security_, secured_;
  std::int32_t format_, type_;
  std::unique_ptr<field_value_list> values_;
};

class tag_list final : public IRfidTagList {
 public:
  tag_list(generator& g, violations& v, std::vector<fake_tag*>& all)
      : v_(&v), list_(g, v, [&] {
          auto t = std::make_unique<fake_tag>(g, v);
          all.push_back(t.get());
          return t;
        }) {}
  void reserved1() override { ++v_->forbidden_calls; }
  void reserved2() override { ++v_->forbidden_calls; }
  std::uint32_t count() override { return list_.count(); }
  IRfidTag* item(std::uint32_t i) override { return list_.item(i); }

 private:
  violations* v_;
  random_list<fake_tag> list_;
};

class fake_item final : public IRfidItem {
 public:
  fake_item(generator& g, violations& v, std::vector<fake_tag*>& all)
      : first_seen_(g.filetime()),
        valid_(g.flag()),
        secured_(g.flag()),
        id_(g.text()),
        type_(g.number()),
        tags_(g.chance(10) ? nullptr : std::make_unique<tag_list>(g, v, all)) {}
  const FILETIME* firstSeen() override { return first_seen_.get(); }
  bool valid() override { return valid_; }
  bool secured() override { return secured_; }
  const char16_t* id() override { return get(id_); }
  std::int32_t type() override { return type_; }
  IRfidTagList* tags() override { return tags_.get(); }

 private:
  std::unique_ptr<FILETIME> first_seen_;
  bool valid_, secured_;
  std::shared_ptr<std::u16string> id_;
  std::int32_t type_;
  std::unique_ptr<tag_list> tags_;
};

class item_list final : public IRfidItemList {
 public:
  item_list(generator& g, violations& v, std::vector<fake_tag*>& all)
      : v_(&v),
        list_(g, v, [&] { return std::make_unique<fake_item>(g, v, all); }) {}
  std::uint32_t count() override { return list_.count(); }
  IRfidItem* item(std::uint32_t i) override { return list_.item(i); }
  void release() override { ++v_->forbidden_calls; }

 private:
  violations* v_;
  random_list<fake_item> list_;
};

class field_def final : public IRfidFieldDef {
 public:
  explicit field_def(generator& g)
      : id_(g.number()),
        name_(g.text()),
        type_(g.number()),
        description_(g.text()),
        has_value_description_(g.flag()),
        long_description_(g.text()),
        maximum_(g.number()),
        minimum_(g.number()) {}
  std::int32_t id() override { return id_; }
  const char16_t* name() override { return get(name_); }
  std::int32_t type() override { return type_; }
  const char16_t* description() override { return get(description_); }
  bool hasValueDescription() override { return has_value_description_; }
  const char16_t* longDescription() override { return get(long_description_); }
  std::int32_t maximum() override { return maximum_; }
  std::int32_t minimum() override { return minimum_; }

 private:
  std::int32_t id_;
  std::shared_ptr<std::u16string> name_;
  std::int32_t type_;
  std::shared_ptr<std::u16string> description_;
  bool has_value_description_;
  std::shared_ptr<std::u16string> long_description_;
  std::int32_t maximum_, minimum_;
};

class field_def_list final : public IRfidFieldDefList {
 public:
  field_def_list(generator& g, violations& v)
      : list_(g, v, [&] { return std::make_unique<field_def>(g); }) {}
  std::uint32_t count() override { return list_.count(); }
  IRfidFieldDef* item(std::uint32_t i) override { return list_.item(i); }

 private:
  random_list<field_def> list_;
};

class tag_format final : public IRfidTagFormat {
 public:
  tag_format(generator& g, violations& v)
      : v_(&v),
        description_(g.text()),
        id_(g.number()),
        enabled_(g.flag()),
        markets_(g.text()),
        ordinal_(g.number()),
        usages_(g.text()),
        defs_(g.chance(10) ? nullptr : std::make_unique<field_def_list>(g, v)) {
  }
  const char16_t* description() override { return get(description_); }
  std::int32_t formatId() override { return id_; }
  bool isEnabled() override { return enabled_; }
  const char16_t* markets() override { return get(markets_); }
  std::int32_t ordinal() override { return ordinal_; }
  const char16_t* usages() override { return get(usages_); }
  void reserved7() override { ++v_->forbidden_calls; }
  IRfidFieldDefList* fieldDefs() override { return defs_.get(); }

 private:
  violations* v_;
  std::shared_ptr<std::u16string> description_;
  std::int32_t id_;
  bool enabled_;
  std::shared_ptr<std::u16string> markets_;
  std::int32_t ordinal_;
  std::shared_ptr<std::u16string> usages_;
  std::unique_ptr<field_def_list> defs_;
};

class format_list final : public IRfidTagFormatList {
 public:
  format_list(generator& g, violations& v)
      : list_(g, v, [&] { return std::make_unique<tag_format>(g, v); }) {}
  std::uint32_t count() override { return list_.count(); }
  IRfidTagFormat* item(std::uint32_t i) override { return list_.item(i); }

 private:
  random_list<tag_format> list_;
};

// A session that only hands out its format list (or none).
class session final : public korvo_test::session_stub {
 public:
  session(format_list* formats, violations& v) : formats_(formats), v_(&v) {}
  std::int32_t getLastError(const char16_t** message) override {
    if (message != nullptr) *message = u"no formats";
    return -1;
  }
  IRfidTagFormatList* getTagFormats() override { return formats_; }

 private:
  void not_played(const char*) override { ++v_->forbidden_calls; }
  format_list* formats_;
  violations* v_;
};

TEST(ListingsFuzz, ArbitrarySessionDataPrintsSafely) {
  constexpr int kRounds = 1500;
  violations v;
  std::vector<std::string> bad_output;
  std::size_t printed = 0;
  {
    korvo_test::output_capture capture;
    for (int round = 0; round < kRounds; ++round) {
      generator g(static_cast<std::uint32_t>(round));
      report_options options;
      options.compact = g.flag();
      options.header = g.flag();

      std::unique_ptr<format_list> formats =
          g.chance(5) ? nullptr : std::make_unique<format_list>(g, v);
      session s(formats.get(), v);
      const int flag = list_formats(&s, options);
      if (flag != (formats == nullptr ? 1 : 0)) ++v.forbidden_calls;

      std::vector<fake_tag*> all_tags;
      item_list items(g, v, all_tags);
      // Filter by a tag that exists (often), or by a random text.
      std::u16string filter;
      if (!all_tags.empty() && g.chance(50)) {
        const auto& id = all_tags[g.below(all_tags.size())]->id_text();
        if (id) filter = id->c_str();
      } else if (g.chance(30)) {
        if (auto t = g.text()) filter = t->c_str();
      }
      options.filter = filter;
      print_reading(&items, options);

      const std::string out = capture.take();
      printed += out.size();
      if (!korvo_fuzz::well_formed_utf8(out) && bad_output.size() < 3)
        bad_output.push_back(out);
    }
  }
  EXPECT_EQ(v.stale_count, 0);
  EXPECT_EQ(v.forbidden_calls, 0);
  EXPECT_TRUE(bad_output.empty()) << bad_output.front();
  EXPECT_GT(printed, 0u);
  EXPECT_FALSE(output_failed());
}

}  // namespace
}  // namespace korvo
