// The session library rfid_qel.kzm: IRfidSession over the tag service's JSON
// protocol (see tag_service/README.md).
//
// Threads: every slot may be called from any thread. Synchronous operations
// run on the caller's thread; each asynchronous one runs on a thread of its
// own, which the session joins at closeSession. Requests run without the
// session's lock held; the lock guards the session's state only.
//
// Status: each operation stores its outcome (status and message) as the
// session's last one, which getLastError reports. An asynchronous operation
// stores its outcome before it calls onCompleted, and getLastError called on
// that thread inside onCompleted reports that outcome, whatever other
// threads did meanwhile. Messages handed to the client stay valid until
// closeSession.
//
// No exception leaves a slot: each catches everything and turns it into
// status_internal.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/utf.h"
#include "protocol/tag_protocol.h"
#include "protocol/wire_time.h"
#include "qel/answer_decoder.h"
#include "qel/http_service.h"
#include "qel/reading_decoder.h"
#include "qel/result_objects.h"
#include "qel/service_text.h"
#include "qel/service_url.h"
#include "qel/status.h"
#include "session/rfid_session.h"

namespace rfid_qel {
namespace {

using nlohmann::json;

struct error_record {
  std::int32_t status;
  std::u16string message;
};
using error_ptr = std::shared_ptr<const error_record>;

// A message may quote the service, so it is handed out as a service's text.
error_ptr make_record(std::int32_t status, const std::string& message) {
  return std::make_shared<const error_record>(
      error_record{status, service_text_utf16(message)});
}

const error_ptr& ok_record() {
  static const error_ptr ok = make_record(status_ok, "");
  return ok;
}

// The outcome of one operation and what it produced.
template <typename T>
struct outcome {
  error_ptr error;
  T value{};
};

class session_impl;

// Set on a library thread while it runs a completion notice: getLastError
// there answers with this operation's outcome.
struct notice_context {
  const session_impl* session;
  const error_ptr* outcome;
};
thread_local const notice_context* t_notice = nullptr;

std::string utf8(const char16_t* text) {
  std::string out;
  korvo::append_utf8(out, text);
  return out;
}

// The session. The slots are declared in the contract's order and defined
// after the class, each running its body under guard().
class session_impl final : public IRfidSession, public tag_owner {
 public:
  session_impl()
      : last_(ok_record()),
        internal_(make_record(status_internal,
                              "the session failed inside (out of memory?)")) {}

  std::int32_t getLastError(const char16_t** message) override;
  std::uint32_t getHeapSize() override { return heap_.bytes(); }

  bool openService(const char16_t* url) override;
  bool connectReader() override;
  void reserved5() override {}

  IRfidTagFormatList* getTagFormats() override;
  IRfidItemList* readItems() override;
  IRfidTag* createTag(const char16_t* data) override;
  void reserved9() override {}

  bool writeTag(IRfidTag* tag) override;
  bool setTagSecurity(const char16_t* tag_id, bool secure) override;
  void disconnectReader() override;
  void closeSession() override;
  void reserved14() override {}
  void reserved15() override {}

  bool readItemsAsync(qel::IRfidAsyncItemsRead* completion) override;
  bool writeTagAsync(IRfidTag* tag,
                     qel::IRfidAsyncTagWritten* completion) override;
  bool setTagSecurityAsync(const char16_t* tag_id, bool secure,
                           qel::IRfidAsyncTagSecurity* completion) override;
  void release_created_tag(tag_impl* tag) override;

 private:
  enum class tag_state { idle, writing, written };
  struct created_tag {
    std::size_t bytes;
    tag_state state;
    created_tag_holder holder;  // owns the tag
  };
  struct worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Runs a slot's body; any exception becomes status_internal and the
  // slot's fallback result.
  template <typename R, typename Body>
  R guard(R fallback, Body body) {
    try {
      return body();
    } catch (const std::exception& e) {
      try {
        fail(status_internal,
             std::string("the session failed inside: ") + e.what());
      } catch (...) {
        store(internal_);
      }
    } catch (...) {
      store(internal_);
    }
    return fallback;
  }

  bool store(const error_ptr& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = error;
    return error->status >= 0;
  }
  bool succeed() { return store(ok_record()); }
  bool fail(std::int32_t status, const std::string& message) {
    return store(make_record(status, message));
  }
  bool fail_not_open() {
    return fail(status_not_open,
                "no tag service is open in this session (openService first)");
  }

  void close_service() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }

  // Copies the open service's address; false when none is open.
  bool current(service_address& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    out = address_;
    return true;
  }

  static std::string bad_answer_message(const service_address& address,
                                        const std::string& path,
                                        const std::string& why) {
    return "the tag service at " + address.display() + path +
           " sent an answer the session cannot read: " + why;
  }

  // A POST whose answer only acknowledges it.
  error_ptr acknowledge(const service_address& address, const char* path,
                        const std::string* body, request_effect effect) {
    const answer_text reply =
        fetch_answer_text(address, "POST", path, body, effect);
    if (reply.status != status_ok) {
      return make_record(reply.status, reply.message);
    }
    std::string why;
    if (!decode_acknowledgement(reply.text, why)) {
      return make_record(status_bad_answer,
                         bad_answer_message(address, path, why));
    }
    return ok_record();
  }

  outcome<IRfidItemList*> read(const service_address& address) {
    const answer_text reply =
        fetch_answer_text(address, "GET", tag_protocol::kItems, nullptr);
    if (reply.status != status_ok) {
      return {make_record(reply.status, reply.message), nullptr};
    }
    std::string why;
    std::unique_ptr<item_list_impl> list =
        decode_reading(reply.text, heap_, why);
    if (list == nullptr) {
      return {
          make_record(status_bad_answer,
                      bad_answer_message(address, tag_protocol::kItems, why)),
          nullptr};
    }
    return {ok_record(), list.release()};
  }

  // Checks that tag is an unwritten tag of this session and marks it as
  // being written; on failure stores the status and returns false.
  bool begin_write(IRfidTag* tag, service_address& address, tag_impl*& out) {
    if (tag == nullptr) return fail(status_bad_argument, "no tag given");
    if (!current(address)) return fail_not_open();
    std::string why;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = created_.find(tag);
      if (it == created_.end()) {
        why =
            "the tag was not made by createTag of this session, or it was "
            "released";
      } else if (it->second.state == tag_state::writing) {
        why = "the tag is being written already";
      } else if (it->second.state == tag_state::written) {
        why = "the tag was written already";
      } else {
        it->second.state = tag_state::writing;
        // Registered tags are ours, made by createTag.
        out = static_cast<tag_impl*>(tag);
        return true;
      }
    }
    return fail(status_bad_argument, why);
  }

  void end_write(IRfidTag* tag, bool written) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = created_.find(tag);
    if (it != created_.end()) {
      it->second.state = written ? tag_state::written : tag_state::idle;
    }
  }

  error_ptr write(const service_address& address, tag_impl* tag) {
    const std::string body = json{{"id", utf8(tag->id())}}.dump();
    const answer_text reply =
        fetch_answer_text(address, "POST", tag_protocol::kWriteTag, &body,
                          request_effect::changes);
    end_write(tag, reply.status == status_ok);
    if (reply.status != status_ok) {
      return make_record(reply.status, reply.message);
    }
    // The service gives the time it wrote the tag; the rest of the tag is
    // as createTag made it.
    std::optional<std::uint64_t> first_seen;
    std::string why;
    if (!decode_written_tag(reply.text, first_seen, why)) {
      return make_record(
          status_bad_answer,
          bad_answer_message(address, tag_protocol::kWriteTag, why));
    }
    if (!first_seen) {
      return make_record(status_bad_answer,
                         "the tag service at " + address.display() +
                             tag_protocol::kWriteTag +
                             " wrote the tag but sent no valid "
                             "'tag.first_seen'");
    }
    tag->set_first_seen(*first_seen);
    return ok_record();
  }

  error_ptr set_security(const service_address& address, const std::string& id,
                         bool secure) {
    const std::string body = json{{"id", id}, {"secure", secure}}.dump();
    return acknowledge(address, tag_protocol::kSecurity, &body,
                       request_effect::changes);
  }

  // Starts body on a thread of its own. False (with status_internal stored)
  // when no thread can be started; body then never runs.
  template <typename Body>
  bool start(Body body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::vector<worker> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Threads whose notice has returned are joined here, so that a long
      // session keeps no more threads than it has operations under way.
      auto it = std::partition(workers_.begin(), workers_.end(),
                               [](const worker& w) { return !*w.done; });
      std::move(it, workers_.end(), std::back_inserter(finished));
      workers_.erase(it, workers_.end());
    }
    for (worker& w : finished) w.thread.join();
    // The start's own status is stored before the thread runs, so that it
    // never overwrites the operation's outcome.
    succeed();
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      workers_.push_back({std::thread([body = std::move(body), done]() mutable {
                            body();
                            *done = true;
                          }),
                          done});
    } catch (...) {
      last_ = make_record(status_internal,
                          "cannot start a thread for the operation");
      return false;
    }
    return true;
  }

  // Publishes an asynchronous operation's outcome, then calls its notice
  // with getLastError on this thread answering for that outcome.
  template <typename Notice>
  void notify(const error_ptr& error, Notice notice) {
    try {
      store(error);
    } catch (...) {
    }
    const notice_context context{this, &error};
    t_notice = &context;
    try {
      notice();
    } catch (...) {
    }
    t_notice = nullptr;
  }

  std::mutex mutex_;
  bool open_ = false;
  service_address address_;
  error_ptr last_;
  const error_ptr internal_;  // made up front: reporting must not allocate
  std::vector<error_ptr> handed_out_;
  std::vector<std::unique_ptr<tag_format_list_impl>> format_lists_;
  std::unordered_map<IRfidTag*, created_tag> created_;
  std::vector<worker> workers_;
  heap_meter heap_;
};

std::int32_t session_impl::getLastError(const char16_t** message) {
  try {
    error_ptr record;
    if (t_notice != nullptr && t_notice->session == this) {
      record = *t_notice->outcome;
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      record = last_;
    }
    if (message != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (std::find(handed_out_.begin(), handed_out_.end(), record) ==
          handed_out_.end()) {
        handed_out_.push_back(record);
      }
      *message = record->message.c_str();
    }
    return record->status;
  } catch (...) {
    if (message != nullptr) *message = internal_->message.c_str();
    return internal_->status;
  }
}

bool session_impl::openService(const char16_t* url) {
  return guard(false, [&] {
    // A failed open leaves no service open, whatever was open before.
    if (url == nullptr) {
      close_service();
      return fail(status_bad_argument, "no service URL");
    }
    service_address address;
    std::string why;
    if (!parse_service_url(utf8(url), address, why)) {
      close_service();
      return fail(status_bad_url, why);
    }
    answer_text reply =
        fetch_answer_text(address, "GET", tag_protocol::kPing, nullptr);
    if (reply.status == status_ok) {
      ping_answer ping;
      std::string why;
      if (!decode_ping(reply.text, ping, why)) {
        reply.status = status_bad_answer;
        reply.message = bad_answer_message(address, tag_protocol::kPing, why);
      } else if (!ping.tag_service) {
        reply.status = status_bad_answer;
        reply.message = "the service at " + address.display() +
                        tag_protocol::kPing + " is not a tag service";
      } else if (*ping.protocol != tag_protocol::kVersion) {
        reply.status = status_bad_answer;
        reply.message = "the tag service at " + address.display() +
                        " speaks protocol " + std::to_string(*ping.protocol) +
                        "; this session speaks " +
                        std::to_string(tag_protocol::kVersion);
      }
    }
    if (reply.status != status_ok) {
      close_service();
      return fail(reply.status, reply.message);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      address_ = address;
      open_ = true;
    }
    return succeed();
  });
}

bool session_impl::connectReader() {
  return guard(false, [&] {
    service_address address;
    if (!current(address)) return fail_not_open();
    return store(acknowledge(address, tag_protocol::kConnect, nullptr,
                             request_effect::reads));
  });
}

IRfidTagFormatList* session_impl::getTagFormats() {
  return guard<IRfidTagFormatList*>(nullptr, [&]() -> IRfidTagFormatList* {
    service_address address;
    if (!current(address)) {
      fail_not_open();
      return nullptr;
    }
    answer_text reply =
        fetch_answer_text(address, "GET", tag_protocol::kFormats, nullptr);
    if (reply.status != status_ok) {
      fail(reply.status, reply.message);
      return nullptr;
    }
    std::string why;
    std::unique_ptr<tag_format_list_impl> list =
        decode_formats(reply.text, why);
    if (list == nullptr) {
      fail(status_bad_answer,
           bad_answer_message(address, tag_protocol::kFormats, why));
      return nullptr;
    }
    tag_format_list_impl* raw = list.get();
    const std::size_t bytes = list->footprint();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      format_lists_.push_back(std::move(list));
    }
    heap_.add(bytes);
    succeed();
    return raw;
  });
}

IRfidItemList* session_impl::readItems() {
  return guard<IRfidItemList*>(nullptr, [&]() -> IRfidItemList* {
    service_address address;
    if (!current(address)) {
      fail_not_open();
      return nullptr;
    }
    outcome<IRfidItemList*> r = read(address);
    store(r.error);
    return r.value;
  });
}

IRfidTag* session_impl::createTag(const char16_t* data) {
  return guard<IRfidTag*>(nullptr, [&]() -> IRfidTag* {
    service_address address;
    if (data == nullptr) {
      fail(status_bad_argument, "no write data");
      return nullptr;
    }
    if (!current(address)) {
      fail_not_open();
      return nullptr;
    }
    const std::string body = json{{"data", utf8(data)}}.dump();
    answer_text reply =
        fetch_answer_text(address, "POST", tag_protocol::kCreateTag, &body);
    if (reply.status != status_ok) {
      fail(reply.status, reply.message);
      return nullptr;
    }
    created_tag_holder holder;
    std::string why;
    if (!decode_created_tag(reply.text, this, holder, why)) {
      fail(status_bad_answer,
           bad_answer_message(address, tag_protocol::kCreateTag, why));
      return nullptr;
    }
    reply.text = std::string();  // the answer is no longer needed
    tag_impl* tag = holder.tag;
    const std::size_t bytes = holder.footprint();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      created_.emplace(static_cast<IRfidTag*>(tag),
                       created_tag{bytes, tag_state::idle, std::move(holder)});
    }
    heap_.add(bytes);
    succeed();
    return tag;
  });
}

bool session_impl::writeTag(IRfidTag* tag) {
  return guard(false, [&] {
    service_address address;
    tag_impl* t = nullptr;
    if (!begin_write(tag, address, t)) return false;
    return store(write(address, t));
  });
}

bool session_impl::setTagSecurity(const char16_t* tag_id, bool secure) {
  return guard(false, [&] {
    if (tag_id == nullptr || *tag_id == 0) {
      return fail(status_bad_argument, "no tag id");
    }
    service_address address;
    if (!current(address)) return fail_not_open();
    return store(set_security(address, utf8(tag_id), secure));
  });
}

void session_impl::disconnectReader() {
  guard(false, [&] {
    service_address address;
    if (!current(address)) return fail_not_open();
    return store(acknowledge(address, tag_protocol::kDisconnect, nullptr,
                             request_effect::reads));
  });
}

void session_impl::closeSession() {
  guard(false, [&] {
    std::vector<worker> workers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      workers = std::move(workers_);
      workers_.clear();
      open_ = false;
    }
    for (worker& w : workers) {
      // A notice that closes the session cannot wait for its own thread.
      if (w.thread.get_id() == std::this_thread::get_id()) {
        w.thread.detach();
      } else {
        w.thread.join();
      }
    }
    std::vector<std::unique_ptr<tag_format_list_impl>> formats;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      formats = std::move(format_lists_);
      format_lists_.clear();
      handed_out_.clear();
    }
    for (const auto& f : formats) heap_.remove(f->footprint());
    return true;
  });
}

bool session_impl::readItemsAsync(qel::IRfidAsyncItemsRead* completion) {
  return guard(false, [&] {
    if (completion == nullptr) {
      return fail(status_bad_argument, "no completion object");
    }
    service_address address;
    if (!current(address)) return fail_not_open();
    return start([this, address, completion] {
      outcome<IRfidItemList*> r{internal_, nullptr};
      try {
        r = read(address);
      } catch (...) {
      }
      notify(r.error, [&] { completion->onCompleted(r.value, this); });
    });
  });
}

bool session_impl::writeTagAsync(IRfidTag* tag,
                                 qel::IRfidAsyncTagWritten* completion) {
  return guard(false, [&] {
    if (completion == nullptr) {
      return fail(status_bad_argument, "no completion object");
    }
    service_address address;
    tag_impl* t = nullptr;
    if (!begin_write(tag, address, t)) return false;
    const bool started = start([this, address, t, completion] {
      error_ptr error = internal_;
      try {
        error = write(address, t);
      } catch (...) {
        end_write(t, false);
      }
      notify(error, [&] { completion->onCompleted(error->status, this); });
    });
    if (!started) end_write(t, false);
    return started;
  });
}

bool session_impl::setTagSecurityAsync(const char16_t* tag_id, bool secure,
                                       qel::IRfidAsyncTagSecurity* completion) {
  return guard(false, [&] {
    if (completion == nullptr) {
      return fail(status_bad_argument, "no completion object");
    }
    if (tag_id == nullptr || *tag_id == 0) {
      return fail(status_bad_argument, "no tag id");
    }
    service_address address;
    if (!current(address)) return fail_not_open();
    std::string id = utf8(tag_id);
    return start([this, address, id = std::move(id), secure, completion] {
      error_ptr error = internal_;
      try {
        error = set_security(address, id, secure);
      } catch (...) {
      }
      notify(error, [&] {
        completion->onCompleted(error->status, secure ? 1 : 0, this);
      });
    });
  });
}

void session_impl::release_created_tag(tag_impl* tag) {
  created_tag_holder holder;  // freed last, outside the lock
  std::size_t bytes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = created_.find(tag);
    // Only tags this session made and still holds are deleted.
    if (it == created_.end()) return;
    bytes = it->second.bytes;
    holder = std::move(it->second.holder);
    created_.erase(it);
  }
  heap_.remove(bytes);
}

// Every session ever made, kept reachable and never freed. The contract has
// no slot that destroys a session: after closeSession the client may still
// ask getLastError and getHeapSize, and release item lists and created tags
// that point back into their session. A session must therefore live as long
// as the library, which is never unloaded; the list keeps them reachable,
// so leak checkers do not report them.
std::mutex g_sessions_mutex;
std::vector<session_impl*>* g_sessions = nullptr;

}  // namespace
}  // namespace rfid_qel

extern "C" __attribute__((visibility("default"))) IRfidSession*
RfidQelCreateSessionEx(int version) {
  using rfid_qel::session_impl;
  if (version != kRfidInterfaceVersion) return nullptr;
  try {
    auto session = std::make_unique<session_impl>();
    std::lock_guard<std::mutex> lock(rfid_qel::g_sessions_mutex);
    if (rfid_qel::g_sessions == nullptr) {
      rfid_qel::g_sessions = new std::vector<session_impl*>();
    }
    rfid_qel::g_sessions->push_back(session.get());
    return session.release();
  } catch (...) {
    return nullptr;
  }
}
