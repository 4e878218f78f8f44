// A scriptable session library for end-to-end tests of korvo.
//
// It reads a scenario (JSON) from the file named by KORVO_FAKE_SCENARIO and
// appends one line per call it receives to the file named by KORVO_FAKE_LOG.
// Without a scenario it is a session whose every operation succeeds with
// empty data. See scenario.md for the scenario's shape.
//
// Objects of a reading and created tags are built fresh for each call and
// destroyed on release, so that a use after release or a double release shows
// under the sanitizers, and the log shows each release.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "session/rfid_session.h"
#include "tests/support/session_stub.h"

namespace {

using json = nlohmann::json;

// Text of the scenario: a string (UTF-8), an array of UTF-16 code units, or
// null for a missing text.
struct text {
  bool present = false;
  std::u16string units;

  const char16_t* get() const { return present ? units.c_str() : nullptr; }
};

std::u16string from_utf8(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = b;
    std::size_t len = 1;
    if (b >= 0xF0) {
      cp = b & 0x07, len = 4;
    } else if (b >= 0xE0) {
      cp = b & 0x0F, len = 3;
    } else if (b >= 0xC0) {
      cp = b & 0x1F, len = 2;
    }
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string to_log(const char16_t* t) {
  if (t == nullptr) return "(null)";
  std::string out;
  for (; *t != 0; ++t) {
    if (*t < 0x80) {
      out.push_back(static_cast<char>(*t));
    } else {
      char buf[12];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(*t));
      out += buf;
    }
  }
  return out;
}

text text_of(const json& j, const char* key, const char* fallback = "") {
  text t;
  if (!j.is_object() || !j.contains(key)) {
    t.present = true;
    t.units = from_utf8(fallback);
    return t;
  }
  const json& v = j.at(key);
  if (v.is_null()) return t;
  t.present = true;
  if (v.is_string()) {
    t.units = from_utf8(v.get<std::string>());
  } else if (v.is_array()) {
    for (const json& u : v) t.units.push_back(u.get<std::uint16_t>());
  }
  return t;
}

template <typename T>
T num_of(const json& j, const char* key, T fallback) {
  if (!j.is_object() || !j.contains(key) || j.at(key).is_null()) {
    return fallback;
  }
  return j.at(key).get<T>();
}

// A bool the fake returns: true or false, or a number, the raw value a
// library built elsewhere may leave in the whole return register (the
// contract counts its low byte only).
std::uint32_t raw_of(const json& j, const char* key, bool fallback) {
  if (!j.is_object() || !j.contains(key) || j.at(key).is_null()) {
    return fallback ? 1 : 0;
  }
  const json& v = j.at(key);
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  return v.get<std::uint32_t>();
}

}  // namespace

// Returns value in the whole of %eax, as a bool slot compiled elsewhere may:
// C++ itself never returns a bool other than 0 or 1, so this is written in
// assembly, out of the compiler's sight.
extern "C" bool fake_raw_bool(std::uint32_t value);
asm(R"(
  .text
  .globl fake_raw_bool
  .hidden fake_raw_bool
  .type fake_raw_bool, @function
fake_raw_bool:
  movl %edi, %eax
  ret
  .size fake_raw_bool, .-fake_raw_bool
)");

namespace {

class logger {
 public:
  void open(const char* path) {
    if (path != nullptr) file_ = std::fopen(path, "a");
  }
  void line(const std::string& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) {
      std::fprintf(file_, "%s\n", s.c_str());
      std::fflush(file_);
    }
  }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

logger& call_log() {
  static logger l;
  return l;
}

// A list in the scenario: an array (null entries are missing elements), or
// {"elements": [...], "counts": [c1, c2, ...]} whose count() answers the
// counts in turn (the last one repeats), for lists that change while walked.
template <typename Element>
class list_of {
 public:
  template <typename Make>
  void load(const json& j, Make make) {
    const json* elements = &j;
    if (j.is_object()) {
      if (j.contains("counts")) {
        for (const json& c : j.at("counts")) {
          counts_.push_back(c.get<std::uint32_t>());
        }
      }
      elements = &j.at("elements");
    }
    for (const json& e : *elements) {
      elements_.push_back(e.is_null() ? nullptr : make(e));
    }
  }
  std::uint32_t count() {
    if (counts_.empty()) return static_cast<std::uint32_t>(elements_.size());
    const std::uint32_t c = counts_[next_ < counts_.size() ? next_ : counts_.size() - 1];
    ++next_;
    return c;
  }
  Element* item(std::uint32_t index) {
    return index < elements_.size() ? elements_[index].get() : nullptr;
  }

 private:
  std::vector<std::unique_ptr<Element>> elements_;
  std::vector<std::uint32_t> counts_;
  std::size_t next_ = 0;
};

// A missing FILETIME is null in the scenario; a number is its 64-bit value.
struct filetime_field {
  bool present = true;
  FILETIME ft{0, 0};

  void load(const json& j, const char* key) {
    if (j.contains(key) && j.at(key).is_null()) {
      present = false;
      return;
    }
    const std::uint64_t v = num_of<std::uint64_t>(j, key, 0);
    ft.low = static_cast<std::uint32_t>(v);
    ft.high = static_cast<std::uint32_t>(v >> 32);
  }
  const FILETIME* get() const { return present ? &ft : nullptr; }
};

class fake_field_def final : public IRfidFieldDef {
 public:
  explicit fake_field_def(const json& j)
      : id_(num_of<std::int32_t>(j, "id", 0)),
        name_(text_of(j, "name")),
        type_(num_of<std::int32_t>(j, "type", 0)),
        description_(text_of(j, "description")),
        has_value_description_(raw_of(j, "has_value_description", false)),
        long_description_(text_of(j, "long_description")),
        maximum_(num_of<std::int32_t>(j, "maximum", 0)),
        minimum_(num_of<std::int32_t>(j, "minimum", 0)) {}
  ~fake_field_def() = default;

  std::int32_t id() override { return id_; }
  const char16_t* name() override { return name_.get(); }
  std::int32_t type() override { return type_; }
  const char16_t* description() override { return description_.get(); }
  bool hasValueDescription() override {
    return fake_raw_bool(has_value_description_);
  }
  const char16_t* longDescription() override { return long_description_.get(); }
  std::int32_t maximum() override { return maximum_; }
  std::int32_t minimum() override { return minimum_; }

 private:
  std::int32_t id_;
  text name_;
  std::int32_t type_;
  text description_;
  std::uint32_t has_value_description_;
  text long_description_;
  std::int32_t maximum_;
  std::int32_t minimum_;
};

class fake_field_def_list final : public IRfidFieldDefList {
 public:
  std::uint32_t count() override { return list.count(); }
  IRfidFieldDef* item(std::uint32_t i) override { return list.item(i); }
  list_of<fake_field_def> list;
};

class fake_format final : public IRfidTagFormat {
 public:
  explicit fake_format(const json& j)
      : description_(text_of(j, "description")),
        id_(num_of<std::int32_t>(j, "id", 0)),
        enabled_(raw_of(j, "enabled", true)),
        markets_(text_of(j, "markets")),
        ordinal_(num_of<std::int32_t>(j, "ordinal", 0)),
        usages_(text_of(j, "usages")) {
    if (j.contains("fields") && j.at("fields").is_null()) return;
    defs_ = std::make_unique<fake_field_def_list>();
    if (j.contains("fields")) {
      defs_->list.load(j.at("fields"), [](const json& e) {
        return std::make_unique<fake_field_def>(e);
      });
    }
  }

  const char16_t* description() override { return description_.get(); }
  std::int32_t formatId() override { return id_; }
  bool isEnabled() override { return fake_raw_bool(enabled_); }
  const char16_t* markets() override { return markets_.get(); }
  std::int32_t ordinal() override { return ordinal_; }
  const char16_t* usages() override { return usages_.get(); }
  void reserved7() override { call_log().line("UNEXPECTED format slot 7"); }
  IRfidFieldDefList* fieldDefs() override { return defs_.get(); }

 private:
  text description_;
  std::int32_t id_;
  std::uint32_t enabled_;
  text markets_;
  std::int32_t ordinal_;
  text usages_;
  std::unique_ptr<fake_field_def_list> defs_;
};

class fake_format_list final : public IRfidTagFormatList {
 public:
  std::uint32_t count() override { return list.count(); }
  IRfidTagFormat* item(std::uint32_t i) override { return list.item(i); }
  list_of<fake_format> list;
};

class fake_field_value final : public IRfidFieldValue {
 public:
  explicit fake_field_value(const json& j)
      : name_(text_of(j, "name")), value_(text_of(j, "value")) {
    description_ = text_of(j, "description");
    if (!j.contains("description")) description_.present = false;
  }
  const char16_t* name() override { return name_.get(); }
  const char16_t* value() override { return value_.get(); }
  const char16_t* valueDescription() override { return description_.get(); }

 private:
  text name_;
  text value_;
  text description_;
};

class fake_field_value_list final : public IRfidFieldValueList {
 public:
  std::uint32_t count() override { return list.count(); }
  IRfidFieldValue* item(std::uint32_t i) override { return list.item(i); }
  list_of<fake_field_value> list;
};

class fake_tag final : public IRfidTag {
 public:
  // created: a tag made by createTag, which the client must release once.
  fake_tag(const json& j, bool created)
      : created_(created),
        id_(text_of(j, "id", created ? "NEWTAG" : "")),
        security_(raw_of(j, "security", false)),
        secured_(raw_of(j, "secured", false)),
        format_(num_of<std::int32_t>(j, "format", 0)),
        type_(num_of<std::int32_t>(j, "type", 0)) {
    first_seen_.load(j, "first_seen");
    if (j.contains("values") && j.at("values").is_null()) return;
    values_ = std::make_unique<fake_field_value_list>();
    if (j.contains("values")) {
      values_->list.load(j.at("values"), [](const json& e) {
        return std::make_unique<fake_field_value>(e);
      });
    }
  }

  void reserved1() override { call_log().line("UNEXPECTED tag slot 1"); }
  void release() override {
    if (!created_) {
      call_log().line("UNEXPECTED release of a reading's tag " + to_log(id_.get()));
      return;
    }
    call_log().line("release tag " + to_log(id_.get()));
    delete this;
  }
  const FILETIME* firstSeen() override { return first_seen_.get(); }
  const char16_t* id() override { return id_.get(); }
  bool security() override { return fake_raw_bool(security_); }
  bool secured() override { return fake_raw_bool(secured_); }
  std::int32_t format() override { return format_; }
  std::int32_t type() override { return type_; }
  IRfidFieldValueList* fieldValues() override { return values_.get(); }

 private:
  bool created_;
  filetime_field first_seen_;
  text id_;
  std::uint32_t security_;
  std::uint32_t secured_;
  std::int32_t format_;
  std::int32_t type_;
  std::unique_ptr<fake_field_value_list> values_;
};

class fake_tag_list final : public IRfidTagList {
 public:
  void reserved1() override { call_log().line("UNEXPECTED tag list slot 1"); }
  void reserved2() override { call_log().line("UNEXPECTED tag list slot 2"); }
  std::uint32_t count() override { return list.count(); }
  IRfidTag* item(std::uint32_t i) override { return list.item(i); }
  list_of<fake_tag> list;
};

class fake_item final : public IRfidItem {
 public:
  explicit fake_item(const json& j)
      : valid_(raw_of(j, "valid", true)),
        secured_(raw_of(j, "secured", false)),
        id_(text_of(j, "id")),
        type_(num_of<std::int32_t>(j, "type", 0)) {
    first_seen_.load(j, "first_seen");
    if (j.contains("tags") && j.at("tags").is_null()) return;
    tags_ = std::make_unique<fake_tag_list>();
    if (j.contains("tags")) {
      tags_->list.load(j.at("tags"), [](const json& e) {
        return std::make_unique<fake_tag>(e, false);
      });
    }
  }

  const FILETIME* firstSeen() override { return first_seen_.get(); }
  bool valid() override { return fake_raw_bool(valid_); }
  bool secured() override { return fake_raw_bool(secured_); }
  const char16_t* id() override { return id_.get(); }
  std::int32_t type() override { return type_; }
  IRfidTagList* tags() override { return tags_.get(); }

 private:
  filetime_field first_seen_;
  std::uint32_t valid_;
  std::uint32_t secured_;
  text id_;
  std::int32_t type_;
  std::unique_ptr<fake_tag_list> tags_;
};

class fake_item_list final : public IRfidItemList {
 public:
  explicit fake_item_list(const json& j) {
    list.load(j, [](const json& e) { return std::make_unique<fake_item>(e); });
  }
  std::uint32_t count() override { return list.count(); }
  IRfidItem* item(std::uint32_t i) override { return list.item(i); }
  void release() override {
    call_log().line("release items");
    delete this;
  }
  list_of<fake_item> list;
};

class fake_session final : public korvo_test::session_stub {
 public:
  explicit fake_session(json scenario) : scenario_(std::move(scenario)) {}

  std::int32_t getLastError(const char16_t** message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    call_log().line(message != nullptr ? "getLastError" : "getLastError(status)");
    if (message != nullptr) *message = last_message_.get();
    const std::int32_t status = last_status_;
    if (!later_statuses_.empty()) {
      last_status_ = later_statuses_.front();
      later_statuses_.erase(later_statuses_.begin());
    }
    return status;
  }

  std::uint32_t getHeapSize() override {
    call_log().line("getHeapSize");
    return num_of<std::uint32_t>(scenario_, "heap", 0);
  }

  bool openService(const char16_t* url) override {
    return answer("openService",
                  step("openService " + to_log(url), "openService"));
  }

  bool connectReader() override {
    return answer("connectReader", step("connectReader", "connectReader"));
  }

  IRfidTagFormatList* getTagFormats() override {
    if (!step("getTagFormats", "getTagFormats")) return nullptr;
    if (!formats_) {
      formats_ = std::make_unique<fake_format_list>();
      if (scenario_.contains("formats")) {
        formats_->list.load(scenario_.at("formats"), [](const json& e) {
          return std::make_unique<fake_format>(e);
        });
      }
    }
    return formats_.get();
  }

  IRfidItemList* readItems() override {
    if (!step("readItems", "readItems")) return nullptr;
    return make_items();
  }

  IRfidTag* createTag(const char16_t* data) override {
    if (!step("createTag " + to_log(data), "createTag")) return nullptr;
    return new fake_tag(scenario_.value("created_tag", json::object()), true);
  }

  bool writeTag(IRfidTag* tag) override {
    return answer("writeTag",
                  step("writeTag " + to_log(tag->id()), "writeTag"));
  }

  bool setTagSecurity(const char16_t* tag_id, bool secure) override {
    return answer("setTagSecurity", step("setTagSecurity " + to_log(tag_id) +
                                             (secure ? " 1" : " 0"),
                                         "setTagSecurity"));
  }

  void disconnectReader() override {
    call_log().line("disconnectReader");
    linger("disconnectReader");
  }

  void closeSession() override {
    // A notice still on its way is part of the session: wait for it.
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    call_log().line("closeSession");
    linger("closeSession");
  }

  bool readItemsAsync(qel::IRfidAsyncItemsRead* completion) override {
    if (!step("readItemsAsync", "readItemsAsync")) {
      return answer("readItemsAsync", false);
    }
    return start_async("readItemsAsync", [this, completion] {
      const json& plan = async_plan("readItemsAsync");
      IRfidItemList* items =
          num_of<bool>(plan, "deliver_items", true) ? make_items() : nullptr;
      completion->onCompleted(items, this);
    });
  }

  bool writeTagAsync(IRfidTag* tag,
                     qel::IRfidAsyncTagWritten* completion) override {
    if (!step("writeTagAsync " + to_log(tag->id()), "writeTagAsync")) {
      return answer("writeTagAsync", false);
    }
    return start_async("writeTagAsync", [this, completion] {
      completion->onCompleted(num_of<std::int32_t>(async_plan("writeTagAsync"),
                                                   "result", 0),
                              this);
    });
  }

  bool setTagSecurityAsync(const char16_t* tag_id, bool secure,
                           qel::IRfidAsyncTagSecurity* completion) override {
    if (!step("setTagSecurityAsync " + to_log(tag_id) + (secure ? " 1" : " 0"),
              "setTagSecurityAsync")) {
      return answer("setTagSecurityAsync", false);
    }
    return start_async("setTagSecurityAsync", [this, completion] {
      completion->onCompleted(0, 0, this);
    });
  }

 private:
  // The client must never use the reserved slots.
  void not_played(const char* slot) override {
    call_log().line(std::string("UNEXPECTED session slot ") + slot);
  }

  // What a bool operation returns: the scenario's "returns" entry for op
  // (a raw value, see raw_of), else 1 or 0 for ok.
  bool answer(const char* op, bool ok) {
    return fake_raw_bool(
        raw_of(scenario_.value("returns", json::object()), op, ok));
  }

  // Plays the scenario's "sleep_ms" entry for op: the call takes that long,
  // as a call to a service that does not answer.
  void linger(const char* op) {
    const int ms =
        num_of<int>(scenario_.value("sleep_ms", json::object()), op, 0);
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  // Logs the call, lingers, and plays the scenario's "fail" entry for op, if
  // any: returns false and leaves its status and message for getLastError.
  bool step(const std::string& line, const char* op) {
    call_log().line(line);
    linger(op);
    std::lock_guard<std::mutex> lock(mutex_);
    const json fail = scenario_.value("fail", json::object());
    if (fail.contains(op)) {
      const json& f = fail.at(op);
      last_status_ = num_of<std::int32_t>(f, "status", -1);
      last_message_ = text_of(f, "message", "failed");
      later_statuses_.clear();
      for (const json& v : f.value("later_statuses", json::array())) {
        later_statuses_.push_back(v.get<std::int32_t>());
      }
      return false;
    }
    later_statuses_.clear();
    last_status_ = 0;
    last_message_ = text{};
    return true;
  }

  IRfidItemList* make_items() {
    const json items = scenario_.value("items", json::array());
    return new fake_item_list(items);
  }

  const json& async_plan(const char* op) {
    static const json empty = json::object();
    if (!scenario_.contains("async")) return empty;
    const json& a = scenario_.at("async");
    return a.contains(op) ? a.at(op) : empty;
  }

  // "async": {op: {"delivery": "inline" | "thread" | "delayed",
  // "delay_ms": n, "status": s, "message": m, ...}}: inline calls the notice
  // inside the start call; thread calls it from another thread and returns
  // only after it ran; delayed calls it from another thread after delay_ms,
  // usually after the start returned. status/message are what getLastError
  // reports inside the notice, then later_statuses one query each (as for
  // "fail"); with clear_status_after it answers 0 again once the notice has
  // returned.
  template <typename Notice>
  bool start_async(const char* op, Notice notice) {
    const json& plan = async_plan(op);
    const std::string delivery = plan.value("delivery", "inline");
    auto deliver = [this, op, plan, notice] {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        last_status_ = num_of<std::int32_t>(plan, "status", 0);
        last_message_ = text_of(plan, "message", "async failure");
        later_statuses_.clear();
        for (const json& v : plan.value("later_statuses", json::array())) {
          later_statuses_.push_back(v.get<std::int32_t>());
        }
      }
      call_log().line(std::string("notice ") + op);
      notice();
      if (num_of<bool>(plan, "clear_status_after", false)) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_status_ = 0;
        last_message_ = text{};
      }
      call_log().line(std::string("notice returned ") + op);
    };
    if (delivery == "thread") {
      std::thread t(deliver);
      t.join();
    } else if (delivery == "delayed") {
      const int delay = num_of<int>(plan, "delay_ms", 50);
      threads_.emplace_back([deliver, delay] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        deliver();
      });
    } else {
      deliver();
    }
    return answer(op, true);
  }

  json scenario_;
  std::mutex mutex_;
  std::int32_t last_status_ = 0;
  // What getLastError answers after last_status_, one query each.
  std::vector<std::int32_t> later_statuses_;
  text last_message_;
  std::unique_ptr<fake_format_list> formats_;
  std::vector<std::thread> threads_;
};

// The session lives until the process ends; the client never deletes it.
// Held here so that leak checkers see it as still reachable.
fake_session* g_session = nullptr;

}  // namespace

extern "C" __attribute__((visibility("default"))) IRfidSession*
RfidQelCreateSessionEx(int version) {
  call_log().open(std::getenv("KORVO_FAKE_LOG"));
  json scenario = json::object();
  if (const char* path = std::getenv("KORVO_FAKE_SCENARIO")) {
    std::ifstream in(path);
    scenario = json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (scenario.is_discarded()) {
      std::fprintf(stderr, "fake session: bad scenario %s\n", path);
      std::abort();
    }
  }
  call_log().line("create " + std::to_string(version));
  if (version != num_of<int>(scenario, "accept_version", 2)) return nullptr;
  g_session = new fake_session(std::move(scenario));
  return g_session;
}
