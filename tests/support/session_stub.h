// The one stub of IRfidSession that every test session derives from.
//
// Each of the nineteen slots answers "nothing" (status 0 without a message,
// heap 0, false, no object) after telling not_played() its name; a test
// session overrides the slots it plays, and not_played() to notice a call on
// one it does not (the reserved slots, which the client must never use).
#ifndef KORVO_TESTS_SUPPORT_SESSION_STUB_H_
#define KORVO_TESTS_SUPPORT_SESSION_STUB_H_

#include "session/rfid_session.h"

namespace korvo_test {

class session_stub : public IRfidSession {
 public:
  std::int32_t getLastError(const char16_t** message) override {
    not_played("getLastError");
    if (message != nullptr) *message = nullptr;
    return 0;
  }
  std::uint32_t getHeapSize() override { return not_played("getHeapSize"), 0; }
  bool openService(const char16_t*) override {
    return not_played("openService"), false;
  }
  bool connectReader() override { return not_played("connectReader"), false; }
  void reserved5() override { not_played("reserved5"); }
  IRfidTagFormatList* getTagFormats() override {
    return not_played("getTagFormats"), nullptr;
  }
  IRfidItemList* readItems() override {
    return not_played("readItems"), nullptr;
  }
  IRfidTag* createTag(const char16_t*) override {
    return not_played("createTag"), nullptr;
  }
  void reserved9() override { not_played("reserved9"); }
  bool writeTag(IRfidTag*) override { return not_played("writeTag"), false; }
  bool setTagSecurity(const char16_t*, bool) override {
    return not_played("setTagSecurity"), false;
  }
  void disconnectReader() override { not_played("disconnectReader"); }
  void closeSession() override { not_played("closeSession"); }
  void reserved14() override { not_played("reserved14"); }
  void reserved15() override { not_played("reserved15"); }
  bool readItemsAsync(qel::IRfidAsyncItemsRead*) override {
    return not_played("readItemsAsync"), false;
  }
  bool writeTagAsync(IRfidTag*, qel::IRfidAsyncTagWritten*) override {
    return not_played("writeTagAsync"), false;
  }
  bool setTagSecurityAsync(const char16_t*, bool,
                           qel::IRfidAsyncTagSecurity*) override {
    return not_played("setTagSecurityAsync"), false;
  }

 protected:
  ~session_stub() = default;
  // Called by every slot the derived session does not override.
  virtual void not_played(const char* /*slot*/) {}
};

}  // namespace korvo_test

#endif  // KORVO_TESTS_SUPPORT_SESSION_STUB_H_
