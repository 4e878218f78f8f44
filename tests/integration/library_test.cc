// Our session library driven directly through the contract, as korvo drives
// it, against the tag service: lifetimes, statuses, heap figure, threads.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/utf.h"
#include "session/rfid_session.h"
#include "tests/integration/service_process.h"

namespace korvo_test {
namespace {

using clock_type = std::chrono::steady_clock;
using json = nlohmann::json;

constexpr std::int32_t kBadArgument = -1, kBadUrl = -2, kNotOpen = -3,
                       kUnreachable = -4, kTimedOut = -5, kServiceError = -6,
                       kBadAnswer = -7;

std::string utf8(const char16_t* text) {
  std::string out;
  korvo::append_utf8(out, text);
  return out;
}

std::u16string u16(const std::string& s) { return korvo::utf8_to_utf16(s); }

RfidQelCreateSessionExFn entry_point() {
  static void* handle = ::dlopen(RFID_QEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  return handle == nullptr ? nullptr
                           : reinterpret_cast<RfidQelCreateSessionExFn>(
                                 ::dlsym(handle, kRfidEntryPointName));
}

struct last_error {
  std::int32_t status;
  std::string message;
};

last_error error_of(IRfidSession* s) {
  const char16_t* m = nullptr;
  const std::int32_t status = s->getLastError(&m);
  return {status, m == nullptr ? "(null)" : utf8(m)};
}

// What a completion saw when its notice ran.
struct notice {
  int calls = 0;
  std::int32_t status = 0;
  std::string message;
  std::uint32_t heap = 0;
  std::int32_t value1 = 0, value2 = 0;
  IRfidItemList* items = nullptr;
};

// The three completions, recording their notice and signalling it.
class completion_base {
 public:
  bool wait(int ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(ms),
                          [this] { return seen_.calls > 0; });
  }
  notice seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 protected:
  void record(IRfidSession* s, IRfidItemList* items, std::int32_t v1,
              std::int32_t v2) {
    const char16_t* m = nullptr;
    const std::int32_t status = s->getLastError(&m);
    std::lock_guard<std::mutex> lock(mutex_);
    ++seen_.calls;
    seen_.status = status;
    seen_.message = m == nullptr ? "(null)" : utf8(m);
    seen_.heap = s->getHeapSize();
    seen_.items = items;
    seen_.value1 = v1;
    seen_.value2 = v2;
    done_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  notice seen_;
};

struct read_completion final : completion_base, qel::IRfidAsyncItemsRead {
  void onCompleted(IRfidItemList* items, IRfidSession* s) override {
    record(s, items, 0, 0);
  }
};
struct write_completion final : completion_base, qel::IRfidAsyncTagWritten {
  void onCompleted(std::int32_t result, IRfidSession* s) override {
    record(s, nullptr, result, 0);
  }
};
struct security_completion final : completion_base, qel::IRfidAsyncTagSecurity {
  void onCompleted(std::int32_t v1, std::int32_t v2, IRfidSession* s) override {
    record(s, nullptr, v1, v2);
  }
};

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(entry_point(), nullptr) << ::dlerror();
    session_ = entry_point()(kRfidInterfaceVersion);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    if (session_ != nullptr) session_->closeSession();
  }
  // Opens the tag service (with a URL suffix such as "?timeout_ms=300") and
  // connects the reader.
  void open_and_connect(const std::string& suffix = "") {
    ASSERT_TRUE(session_->openService(u16(svc_.url(suffix)).c_str()))
        << error_of(session_).message;
    ASSERT_TRUE(session_->connectReader()) << error_of(session_).message;
  }
  IRfidTag* find(IRfidItemList* items, const std::string& id) {
    for (std::uint32_t i = 0; i < items->count(); ++i) {
      IRfidTagList* tags = items->item(i)->tags();
      for (std::uint32_t k = 0; k < tags->count(); ++k) {
        if (utf8(tags->item(k)->id()) == id) return tags->item(k);
      }
    }
    return nullptr;
  }

  service_process svc_;
  IRfidSession* session_ = nullptr;
};

TEST(LibraryEntry, ServesVersionTwoOnlyAndANewSessionEachTime) {
  ASSERT_NE(entry_point(), nullptr);
  EXPECT_EQ(entry_point()(1), nullptr);
  EXPECT_EQ(entry_point()(3), nullptr);
  IRfidSession* a = entry_point()(2);
  IRfidSession* b = entry_point()(2);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->getLastError(nullptr), 0);
  a->closeSession();
  b->closeSession();
}

TEST_F(Library, NothingRunsBeforeTheServiceIsOpen) {
  read_completion read;
  security_completion security;
  EXPECT_FALSE(session_->connectReader());
  EXPECT_EQ(error_of(session_).status, kNotOpen);
  EXPECT_EQ(session_->getTagFormats(), nullptr);
  EXPECT_EQ(session_->readItems(), nullptr);
  EXPECT_EQ(session_->createTag(u"1:serial=S"), nullptr);
  EXPECT_FALSE(session_->setTagSecurity(u"T", true));
  EXPECT_FALSE(session_->readItemsAsync(&read));
  EXPECT_FALSE(session_->setTagSecurityAsync(u"T", true, &security));
  const last_error e = error_of(session_);
  EXPECT_EQ(e.status, kNotOpen);
  EXPECT_NE(e.message.find("openService"), std::string::npos) << e.message;
  session_->disconnectReader();
  // Operations that were not started never complete.
  EXPECT_FALSE(read.wait(100));
  EXPECT_FALSE(security.wait(0));
  EXPECT_EQ(svc_.state()["calls"]["connect"], 0);
}

TEST_F(Library, BadArgumentsAreRefusedWithoutAnyRequest) {
  ASSERT_TRUE(session_->openService(u16(svc_.url()).c_str()));
  read_completion read;
  EXPECT_FALSE(session_->openService(nullptr));
  EXPECT_EQ(error_of(session_).status, kBadArgument);
  // A failed open closes the service it had.
  EXPECT_FALSE(session_->connectReader());
  EXPECT_EQ(error_of(session_).status, kNotOpen);
  ASSERT_TRUE(session_->openService(u16(svc_.url()).c_str()));
  EXPECT_EQ(session_->createTag(nullptr), nullptr);
  EXPECT_EQ(error_of(session_).status, kBadArgument);
  EXPECT_FALSE(session_->writeTag(nullptr));
  EXPECT_FALSE(session_->setTagSecurity(nullptr, true));
  EXPECT_FALSE(session_->setTagSecurity(u"", true));
  EXPECT_FALSE(session_->readItemsAsync(nullptr));
  EXPECT_FALSE(session_->setTagSecurityAsync(u"", true, nullptr));
  EXPECT_EQ(error_of(session_).status, kBadArgument);
  EXPECT_EQ(svc_.state()["calls"]["security"], 0);
}

TEST_F(Library, OpenNamesTheUrlOfEveryFailure) {
  const std::string absent =
      "http://127.0.0.1:" + std::to_string(unused_port()) + "/TagService";
  struct {
    std::string url;
    std::int32_t status;
    std::string message;
  } cases[] = {
      {"ftp://127.0.0.1/x", kBadUrl, "'ftp://127.0.0.1/x' is not supported"},
      {"", kBadUrl, "empty"},
      {absent, kUnreachable,
       "cannot connect to the tag service at " + absent + "/ping"},
      {svc_.url("/nothing"), kServiceError,
       svc_.url("/nothing/ping") + " answered 404: no such resource"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(session_->openService(u16(c.url).c_str())) << c.url;
    const last_error e = error_of(session_);
    EXPECT_EQ(e.status, c.status) << c.url;
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
  }
}

TEST_F(Library, FormatsAndReadingCarryTheField) {
  ASSERT_TRUE(session_->openService(u16(svc_.url()).c_str()));
  IRfidTagFormatList* formats = session_->getTagFormats();
  ASSERT_NE(formats, nullptr);
  ASSERT_EQ(formats->count(), 4u);
  IRfidTagFormat* pallet = formats->item(2);
  EXPECT_EQ(pallet->formatId(), 3);
  EXPECT_EQ(utf8(pallet->description()), "Cold-chain pallet");
  EXPECT_EQ(utf8(pallet->markets()), "EU/APAC");
  EXPECT_FALSE(formats->item(3)->isEnabled());
  IRfidFieldDef* temp = pallet->fieldDefs()->item(1);
  EXPECT_EQ(utf8(temp->description()), "Highest temperature (°C)");
  EXPECT_EQ(temp->minimum(), -40);
  EXPECT_EQ(temp->maximum(), 30);
  EXPECT_TRUE(pallet->fieldDefs()->item(2)->hasValueDescription());

  // No reading without the reader.
  EXPECT_EQ(session_->readItems(), nullptr);
  const last_error e = error_of(session_);
  EXPECT_EQ(e.status, kServiceError);
  EXPECT_EQ(e.message, "the tag service at " + svc_.url("/items") +
                           " answered 409: the reader is not connected");

  ASSERT_TRUE(session_->connectReader());
  IRfidItemList* items = session_->readItems();
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(session_->getLastError(nullptr), 0);
  ASSERT_EQ(items->count(), 12u);
  IRfidItem* item = items->item(4);
  EXPECT_EQ(utf8(item->id()), "PALLET-SSCC-00312");
  EXPECT_EQ(item->type(), 6);
  ASSERT_EQ(item->tags()->count(), 2u);
  IRfidTag* tag = item->tags()->item(1);
  // 2024-07-22T03:40:52Z
  EXPECT_EQ(filetime_value(*tag->firstSeen()),
            (1721619652ull + 11644473600ull) * 10000000);
  IRfidFieldValue* origin = tag->fieldValues()->item(2);
  EXPECT_EQ(utf8(origin->value()), "JP");
  EXPECT_EQ(utf8(origin->valueDescription()), "日本");
  EXPECT_EQ(tag->fieldValues()->item(0)->valueDescription(), nullptr);
  EXPECT_TRUE(items->item(1)->secured());
  EXPECT_FALSE(items->item(9)->valid());
  items->release();
}

TEST_F(Library, HeapFigureCountsWhatTheSessionHolds) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect());
  EXPECT_EQ(session_->getHeapSize(), 0u);
  ASSERT_NE(session_->getTagFormats(), nullptr);
  const std::uint32_t formats = session_->getHeapSize();
  EXPECT_GT(formats, 0u);
  IRfidItemList* items = session_->readItems();
  const std::uint32_t with_items = session_->getHeapSize();
  EXPECT_GT(with_items, formats);
  IRfidTag* tag = session_->createTag(u"2:title=Heap");
  ASSERT_NE(tag, nullptr);
  EXPECT_GT(session_->getHeapSize(), with_items);
  items->release();
  tag->release();
  EXPECT_EQ(session_->getHeapSize(), formats);
  session_->closeSession();
  EXPECT_EQ(session_->getHeapSize(), 0u);
  session_ = nullptr;
}

TEST_F(Library, CreatedTagIsWrittenOnceAndAppearsInTheNextReading) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect());
  IRfidTag* tag = session_->createTag(u"3:batch=Æ-1;max_temp=-5;origin=DE");
  ASSERT_NE(tag, nullptr) << error_of(session_).message;
  const std::string id = utf8(tag->id());
  EXPECT_EQ(tag->format(), 3);
  EXPECT_EQ(tag->fieldValues()->count(), 3u);
  ASSERT_TRUE(session_->writeTag(tag)) << error_of(session_).message;
  EXPECT_EQ(utf8(tag->id()), id);
  EXPECT_FALSE(session_->writeTag(tag));
  EXPECT_EQ(error_of(session_).status, kBadArgument);

  IRfidItemList* items = session_->readItems();
  ASSERT_NE(items, nullptr);
  IRfidTag* read = find(items, id);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(filetime_value(*read->firstSeen()),
            filetime_value(*tag->firstSeen()));
  EXPECT_NE(filetime_value(*read->firstSeen()), 0u);
  EXPECT_EQ(utf8(read->fieldValues()->item(0)->value()), "Æ-1");
  // A reading's tag is not one createTag made.
  EXPECT_FALSE(session_->writeTag(read));
  EXPECT_EQ(error_of(session_).status, kBadArgument);
  items->release();
  tag->release();
  EXPECT_EQ(svc_.state()["calls"]["write"], 1);
}

TEST_F(Library, AsyncOperationsCompleteOnceWithTheirOwnOutcome) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect());
  read_completion read;
  ASSERT_TRUE(session_->readItemsAsync(&read));
  ASSERT_TRUE(read.wait());
  notice n = read.seen();
  EXPECT_EQ(n.status, 0);
  ASSERT_NE(n.items, nullptr);
  EXPECT_EQ(n.items->count(), 12u);
  EXPECT_GT(n.heap, 0u);  // the reading, held until released
  n.items->release();

  IRfidTag* tag = session_->createTag(u"2:title=Async");
  write_completion write;
  ASSERT_TRUE(session_->writeTagAsync(tag, &write));
  ASSERT_TRUE(write.wait());
  EXPECT_EQ(write.seen().status, 0);
  EXPECT_EQ(write.seen().value1, 0);
  // A tag being or already written cannot start another write.
  write_completion again;
  EXPECT_FALSE(session_->writeTagAsync(tag, &again));
  tag->release();

  security_completion security;
  ASSERT_TRUE(session_->setTagSecurityAsync(u"E2806894000040011A2B3C03", true,
                                            &security));
  ASSERT_TRUE(security.wait());
  EXPECT_EQ(security.seen().status, 0);
  EXPECT_EQ(security.seen().value2, 1);

  svc_.inject({{"operation", "items"}, {"status", 503}, {"message", "jam"}});
  read_completion failed;
  ASSERT_TRUE(session_->readItemsAsync(&failed));
  ASSERT_TRUE(failed.wait());
  n = failed.seen();
  EXPECT_EQ(n.items, nullptr);
  EXPECT_EQ(n.status, kServiceError);
  EXPECT_EQ(n.message,
            "the tag service at " + svc_.url("/items") + " answered 503: jam");
  // After the notice, the session still answers with that outcome.
  EXPECT_EQ(error_of(session_).message, n.message);

  security_completion unknown;
  ASSERT_TRUE(session_->setTagSecurityAsync(u"NOPE", false, &unknown));
  ASSERT_TRUE(unknown.wait());
  EXPECT_EQ(unknown.seen().status, kServiceError);
  EXPECT_EQ(unknown.seen().value1, kServiceError);

  session_->closeSession();
  session_ = nullptr;
  for (auto* c : std::initializer_list<completion_base*>{
           &read, &write, &security, &failed, &unknown}) {
    EXPECT_EQ(c->seen().calls, 1);
  }
  EXPECT_EQ(again.seen().calls, 0);
}

TEST_F(Library, NoticeReportsItsOwnOperationWhateverOtherThreadsDo) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect());
  svc_.inject({{"operation", "items"}, {"delay_ms", 400}});
  read_completion read;
  ASSERT_TRUE(session_->readItemsAsync(&read));
  // A failure on this thread while the reading runs...
  EXPECT_FALSE(session_->setTagSecurity(u"NOPE", true));
  EXPECT_EQ(error_of(session_).status, kServiceError);
  ASSERT_TRUE(read.wait());
  // ...is not what the reading's notice reports.
  EXPECT_EQ(read.seen().status, 0);
  EXPECT_EQ(read.seen().message, "");
  read.seen().items->release();
}

TEST_F(Library, CloseSessionWaitsForOperationsUnderWay) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect());
  svc_.inject({{"operation", "items"}, {"delay_ms", 300}});
  read_completion read;
  ASSERT_TRUE(session_->readItemsAsync(&read));
  session_->closeSession();
  session_ = nullptr;
  EXPECT_EQ(read.seen().calls, 1);
  ASSERT_NE(read.seen().items, nullptr);
  read.seen().items->release();  // item lists outlive the session's close
}

TEST_F(Library, MessagesStayValidUntilClose) {
  ASSERT_TRUE(session_->openService(u16(svc_.url()).c_str()));
  EXPECT_EQ(session_->readItems(), nullptr);
  const char16_t* first = nullptr;
  EXPECT_EQ(session_->getLastError(&first), kServiceError);
  const std::string text = utf8(first);
  EXPECT_FALSE(session_->setTagSecurity(u"X", true));
  EXPECT_FALSE(session_->openService(u"nonsense"));
  EXPECT_EQ(utf8(first), text);
}

TEST_F(Library, EveryRequestIsBoundedInTime) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect("?timeout_ms=300"));
  svc_.inject({{"operation", "items"}, {"delay_ms", 5000}});
  const auto t0 = clock_type::now();
  EXPECT_EQ(session_->readItems(), nullptr);
  EXPECT_LT(clock_type::now() - t0, std::chrono::seconds(2));
  const last_error e = error_of(session_);
  EXPECT_EQ(e.status, kTimedOut);
  EXPECT_EQ(e.message, "the tag service at " + svc_.url("/items") +
                           " did not answer within 300 ms");
}

// A request that may change what the service holds and times out once it
// was sent leaves its outcome unknown, and says so; a reading does not.
TEST_F(Library, TimeoutAfterAChangingRequestSaysItMayHaveBeenCarriedOut) {
  ASSERT_NO_FATAL_FAILURE(open_and_connect("?timeout_ms=300"));
  const std::string maybe = "; the service may have carried out the request";
  for (const char* op : {"write", "security", "items"}) {
    svc_.inject({{"operation", op}, {"delay_ms", 2000}, {"times", 0}});
  }
  IRfidTag* tag = session_->createTag(u"1:serial=SN-1");
  ASSERT_NE(tag, nullptr) << error_of(session_).message;
  write_completion write;
  ASSERT_TRUE(session_->writeTagAsync(tag, &write));
  ASSERT_TRUE(write.wait());
  security_completion async_security;
  ASSERT_TRUE(session_->setTagSecurityAsync(u"E2806894000040011A2B3C03", true,
                                            &async_security));
  ASSERT_TRUE(async_security.wait());
  EXPECT_FALSE(session_->setTagSecurity(u"E2806894000040011A2B3C03", false));
  const last_error sync_security = error_of(session_);
  EXPECT_EQ(session_->readItems(), nullptr);
  const last_error read = error_of(session_);

  const struct {
    std::string message;
    std::int32_t status;
    std::string path;
    bool may_be_done;
  } cases[] = {
      {write.seen().message, write.seen().status, "/tags/write", true},
      {async_security.seen().message, async_security.seen().status,
       "/tags/security", true},
      {sync_security.message, sync_security.status, "/tags/security", true},
      {read.message, read.status, "/items", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, kTimedOut) << c.message;
    EXPECT_EQ(c.message, "the tag service at " + svc_.url(c.path) +
                             " did not answer within 300 ms" +
                             (c.may_be_done ? maybe : ""));
  }
  tag->release();
}

// The service is asked directly, whatever proxy the environment names.
TEST_F(Library, ProxiesFromTheEnvironmentAreNotUsed) {
  const std::string absent =
      "http://127.0.0.1:" + std::to_string(unused_port());
  // The proxies are named in a child's environment only: a changed
  // environment in this process has made LeakSanitizer's own scan at exit
  // crash.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy"}) {
      ::setenv(name, absent.c_str(), 1);
    }
    const bool opened = session_->openService(u16(svc_.url()).c_str());
    if (!opened) {
      std::fprintf(stderr, "%s\n", error_of(session_).message.c_str());
    }
    ::_exit(opened ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the library did not reach the service directly";
}

// Readings that break the protocol, and a part of the reason each gives.
const std::vector<std::pair<std::string, std::string>>& bad_reading_cases() {
  static const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"items": [{"id": "I", "tags": [{"id": "T")", "not well-formed JSON"},
      {"{\"items\": [{\"id\": \"\xFF\"}]}", "ill-formed UTF-8"},
      {R"({"items": [{"id": "I", "type": 1e999}]})", "overflow"},
      {R"({"items": [{"id": "I", "valid": "yes"}]})",
       "'valid' is not true or false"},
      {R"({"items": [{"tags": []}]})", "'id' is missing"},
      {R"({"items": [)" + std::string(50000, '[') + std::string(50000, ']') +
           "]}",
       "an item is not a JSON object"},
  };
  return cases;
}
const std::vector<std::string>& bad_readings() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    for (const auto& c : bad_reading_cases()) t.push_back(c.first);
    return t;
  }();
  return texts;
}

// A server that answers under /TagService but does not keep the protocol.
class odd_server {
 public:
  odd_server() {
    auto json_reply = [](const char* body) {
      return [body](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/json");
      };
    };
    const char* ok_ping = R"({"service":"tag-service","protocol":1})";
    server_.Get("/TagService/ping", json_reply(ok_ping));
    server_.Post("/TagService/reader/connect", json_reply("{}"));
    server_.Get("/TagService/formats", json_reply(R"({"formats":5})"));
    server_.Post("/TagService/tags", json_reply(R"({"tag":{"id":""}})"));
    server_.Get("/TagService/items", [](const httplib::Request&,
                                        httplib::Response& res) {
      res.set_content("{\"items\":[],\"pad\":\"" +
                          std::string(17 * 1024 * 1024, 'x') + "\"}",
                      "application/json");
    });
    server_.Get("/text/ping", json_reply("hello"));
    // An error whose message holds a newline, an escape sequence and a NUL.
    server_.Get("/ctl/ping", [](const httplib::Request&,
                                httplib::Response& res) {
      res.status = 503;
      res.set_content(R"({"error":{"message":"jam\nTagId=EVIL\u001b[2J\u0000end"}})",
                      "application/json");
    });
    server_.Get("/other/ping", json_reply(R"({"service":"other"})"));
    server_.Get("/v2/ping",
                json_reply(R"({"service":"tag-service","protocol":2})"));
    // One byte every 100 ms, for ever: each read gets data in time.
    server_.Get("/trickle/ping", [this](const httplib::Request&,
                                        httplib::Response& res) {
      res.set_chunked_content_provider(
          "application/json", [this](std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return !stopping_ && sink.write(" ", 1);
          });
    });
    // Under /badN/, a service whose readings are broken in the Nth way.
    server_.Get(R"(/bad\d+/ping)", json_reply(ok_ping));
    server_.Post(R"(/bad\d+/reader/connect)", json_reply("{}"));
    server_.Get(R"(/bad(\d+)/items)", [](const httplib::Request& req,
                                          httplib::Response& res) {
      res.set_content(bad_readings()[std::stoul(req.matches[1])],
                      "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~odd_server() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& base) const {
    return "http://127.0.0.1:" + std::to_string(port_) + base;
  }

 private:
  httplib::Server server_;
  std::atomic<bool> stopping_{false};
  int port_ = 0;
  std::thread thread_;
};

TEST(LibraryDefences, AnswersOutsideTheProtocolAreBadAnswers) {
  odd_server odd;
  IRfidSession* s = entry_point()(2);
  ASSERT_NE(s, nullptr);
  struct {
    std::string base;
    const char* message;
  } opens[] = {
      {"/text", "sent an answer the session cannot read: it is not a JSON "
                "object"},
      {"/other", "is not a tag service"},
      {"/v2", "speaks protocol 2; this session speaks 1"},
  };
  for (const auto& c : opens) {
    EXPECT_FALSE(s->openService(u16(odd.url(c.base)).c_str()));
    const last_error e = error_of(s);
    EXPECT_EQ(e.status, kBadAnswer) << c.base;
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
  }
  // A service's message reaches the client without control characters.
  EXPECT_FALSE(s->openService(u16(odd.url("/ctl")).c_str()));
  EXPECT_EQ(error_of(s).message,
            "the tag service at " + odd.url("/ctl/ping") +
                " answered 503: jam\uFFFDTagId=EVIL\uFFFD[2J\uFFFDend");

  const auto t0 = clock_type::now();
  EXPECT_FALSE(s->openService(u16(odd.url("/trickle?timeout_ms=200")).c_str()));
  EXPECT_LT(clock_type::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(error_of(s).status, kTimedOut);
  EXPECT_NE(error_of(s).message.find("did not finish its answer within 600 ms"),
            std::string::npos)
      << error_of(s).message;

  ASSERT_TRUE(s->openService(u16(odd.url("/TagService")).c_str()));
  ASSERT_TRUE(s->connectReader());
  EXPECT_EQ(s->getTagFormats(), nullptr);
  EXPECT_NE(error_of(s).message.find("cannot read: 'formats' is not a list"),
            std::string::npos)
      << error_of(s).message;
  EXPECT_EQ(s->createTag(u"1:"), nullptr);
  EXPECT_NE(error_of(s).message.find("a tag has an empty 'id'"),
            std::string::npos);
  EXPECT_EQ(s->readItems(), nullptr);
  EXPECT_EQ(error_of(s).status, kBadAnswer);
  EXPECT_NE(error_of(s).message.find("larger than the session accepts"),
            std::string::npos);
  EXPECT_EQ(s->getHeapSize(), 0u);
  s->closeSession();
}

TEST(LibraryDefences, BrokenReadingsAreBadAnswersNamingTheUrl) {
  odd_server odd;
  IRfidSession* s = entry_point()(kRfidInterfaceVersion);
  ASSERT_NE(s, nullptr);
  for (std::size_t i = 0; i < bad_reading_cases().size(); ++i) {
    const std::string base = "/bad" + std::to_string(i);
    const std::string want = "the tag service at " + odd.url(base) +
                             "/items sent an answer the session cannot read: ";
    const std::string& reason = bad_reading_cases()[i].second;
    ASSERT_TRUE(s->openService(u16(odd.url(base)).c_str()));
    ASSERT_TRUE(s->connectReader());
    EXPECT_EQ(s->readItems(), nullptr);
    last_error e = error_of(s);
    EXPECT_EQ(e.status, kBadAnswer) << base;
    EXPECT_EQ(e.message.rfind(want, 0), 0u) << e.message;
    EXPECT_NE(e.message.find(reason), std::string::npos) << e.message;

    // The asynchronous reading shares the decoding.
    read_completion read;
    ASSERT_TRUE(s->readItemsAsync(&read));
    ASSERT_TRUE(read.wait());
    const notice n = read.seen();
    EXPECT_EQ(n.calls, 1);
    EXPECT_EQ(n.items, nullptr);
    EXPECT_EQ(n.status, kBadAnswer);
    EXPECT_EQ(n.message, e.message);
    EXPECT_EQ(s->getHeapSize(), 0u);
  }
  s->closeSession();
}

}  // namespace
}  // namespace korvo_test
