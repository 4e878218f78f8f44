// A session inside the test process, for tests that drive completions and
// the run sequence without loading a library, and a way to read what korvo
// printed.
#ifndef KORVO_TESTS_IN_PROCESS_SESSION_H_
#define KORVO_TESTS_IN_PROCESS_SESSION_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "session/rfid_session.h"
#include "tests/support/session_stub.h"

namespace korvo_test {

// Every operation succeeds. A notice reports notice_status (and
// notice_message) through getLastError and is delivered inside the start
// call or from a thread of its own, which may run before or after the start
// returns and is joined at closeSession. Records the calls it receives.
class in_process_session final : public session_stub {
 public:
  enum class delivery { inside_start, own_thread };

  in_process_session(std::uint32_t heap, delivery how,
                     std::int32_t notice_status = 0)
      : heap_(heap), how_(how), notice_status_(notice_status) {}
  ~in_process_session() { join_notices(); }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  std::int32_t getLastError(const char16_t** message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (message != nullptr) *message = u"tag lost";
    return status_;
  }
  std::uint32_t getHeapSize() override { return heap_; }
  bool openService(const char16_t*) override { return record("openService"); }
  bool connectReader() override { return record("connectReader"); }
  IRfidItemList* readItems() override {
    record("readItems");
    return new empty_items(*this);
  }
  IRfidTag* createTag(const char16_t*) override {
    record("createTag");
    return new created_tag(*this);
  }
  bool writeTag(IRfidTag*) override { return record("writeTag"); }
  bool setTagSecurity(const char16_t*, bool) override {
    return record("setTagSecurity");
  }
  void disconnectReader() override { record("disconnectReader"); }
  void closeSession() override {
    join_notices();
    record("closeSession");
  }

  bool readItemsAsync(qel::IRfidAsyncItemsRead* c) override {
    record("readItemsAsync");
    IRfidItemList* items = new empty_items(*this);
    deliver([this, c, items] { c->onCompleted(items, this); });
    return true;
  }
  bool writeTagAsync(IRfidTag*, qel::IRfidAsyncTagWritten* c) override {
    record("writeTagAsync");
    deliver([this, c] { c->onCompleted(17, this); });
    return true;
  }
  bool setTagSecurityAsync(const char16_t*, bool,
                           qel::IRfidAsyncTagSecurity* c) override {
    record("setTagSecurityAsync");
    deliver([this, c] { c->onCompleted(1, 2, this); });
    return true;
  }

 private:
  class created_tag final : public IRfidTag {
   public:
    explicit created_tag(in_process_session& s) : session_(s) {}
    void reserved1() override {}
    void release() override {
      session_.record("release tag");
      delete this;
    }
    const FILETIME* firstSeen() override { return nullptr; }
    const char16_t* id() override { return u"NEWTAG"; }
    bool security() override { return false; }
    bool secured() override { return false; }
    std::int32_t format() override { return 0; }
    std::int32_t type() override { return 0; }
    IRfidFieldValueList* fieldValues() override { return nullptr; }

   private:
    in_process_session& session_;
  };

  class empty_items final : public IRfidItemList {
   public:
    explicit empty_items(in_process_session& s) : session_(s) {}
    std::uint32_t count() override { return 0; }
    IRfidItem* item(std::uint32_t) override { return nullptr; }
    void release() override {
      session_.record("release items");
      delete this;
    }

   private:
    in_process_session& session_;
  };

  void not_played(const char* slot) override {
    record((std::string("UNEXPECTED ") + slot).c_str());
  }

  bool record(const char* call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    status_ = 0;
    return true;
  }

  template <typename Notice>
  void deliver(Notice notice) {
    auto run = [this, notice] {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = notice_status_;
      }
      notice();
    };
    if (how_ == delivery::inside_start) {
      run();
    } else {
      std::lock_guard<std::mutex> lock(threads_mutex_);
      threads_.emplace_back(run);
    }
  }

  void join_notices() {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  const std::uint32_t heap_;
  const delivery how_;
  const std::int32_t notice_status_;
  std::mutex mutex_;
  std::int32_t status_ = 0;
  std::vector<std::string> calls_;
  std::mutex threads_mutex_;
  std::vector<std::thread> threads_;
};

// What korvo's print() wrote while fn ran, with every elapsed time as N.
template <typename Fn>
std::string printed_by(Fn fn) {
  korvo::flush_output();
  std::fflush(stdout);
  char path[] = "/tmp/korvo-out-XXXXXX";
  const int fd = ::mkstemp(path);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  fn();
  korvo::flush_output();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fd);
  std::ifstream in(path);
  std::string out((std::istreambuf_iterator<char>(in)),
                  std::istreambuf_iterator<char>());
  ::unlink(path);
  static const std::regex elapsed(R"((Elapsed \(\w+\): )\d+ms)");
  return std::regex_replace(out, elapsed, "$1Nms");
}

}  // namespace korvo_test

#endif  // KORVO_TESTS_IN_PROCESS_SESSION_H_
