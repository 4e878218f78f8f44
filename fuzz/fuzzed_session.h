// An in-process session whose every answer comes from the fuzz input: lists
// whose counts change from call to call, missing objects and texts, texts of
// arbitrary UTF-16 (unpaired surrogates included) or full of the compact
// form's separators, extreme numbers and timestamps, missing timestamps.
//
// Every answer takes bytes off the input; once it is used up, counts are 0,
// so any walk ends. Objects and texts live as long as the fuzzed_session.
// No text holds a line break, so that a listing's lines can be told apart.
#ifndef KORVO_FUZZ_FUZZED_SESSION_H_
#define KORVO_FUZZ_FUZZED_SESSION_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "fuzz/byte_reader.h"
#include "session/rfid_session.h"
#include "tests/support/session_stub.h"

namespace korvo_fuzz {

class fuzzed_session final : public korvo_test::session_stub {
 public:
  explicit fuzzed_session(byte_reader& in) : in_(in) {}

  // Answers drawn from the input, for the fake objects.
  const char16_t* text();
  std::int32_t number();
  bool flag() { return (in_.byte() & 1) != 0; }
  std::uint32_t count() { return in_.byte() % 5; }
  bool missing() { return in_.byte() % 8 == 0; }
  const FILETIME* time();

  // Keeps an object alive as long as the session.
  template <class T>
  T* keep(std::unique_ptr<T> object) {
    T* raw = object.get();
    objects_.push_back(std::shared_ptr<void>(std::move(object)));
    return raw;
  }

  IRfidItemList* reading();

  // Whether getTagFormats answered with no list.
  bool gave_no_formats() const { return gave_no_formats_; }

  std::int32_t getLastError(const char16_t** message) override;
  std::uint32_t getHeapSize() override { return in_.u32(); }
  bool openService(const char16_t*) override { return flag(); }
  bool connectReader() override { return flag(); }
  IRfidTagFormatList* getTagFormats() override;
  IRfidItemList* readItems() override {
    return missing() ? nullptr : reading();
  }

 private:
  byte_reader& in_;
  bool gave_no_formats_ = false;
  std::deque<std::u16string> texts_;
  std::deque<FILETIME> times_;
  std::deque<std::shared_ptr<void>> objects_;
};

}  // namespace korvo_fuzz

#endif  // KORVO_FUZZ_FUZZED_SESSION_H_
