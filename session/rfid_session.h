// The binary contract between korvo and a session library ("rfid_qel.kzm").
//
// Everything that crosses the library boundary is declared here and nowhere
// else: the client, our own session library and every test fake include this
// one header. The order of the pure virtual functions in each interface is the
// vtable slot order and is fixed; unused slots keep a placeholder so that the
// later slots line up. No interface has a virtual destructor (it would take
// vtable slots); the protected non-virtual destructors only forbid deleting an
// object through the interface.
//
// A bool returned by the session counts only by its low byte; the client reads
// every one through call_bool (below), never as a C++ bool.
//
// Texts are zero-terminated UTF-16 (char16_t). A text or object returned by the
// session belongs to the session and stays valid while its owner lives; the
// client never frees one. The client releases only tags made by createTag and
// item lists from a reading.
#ifndef KORVO_SESSION_RFID_SESSION_H_
#define KORVO_SESSION_RFID_SESSION_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// 100-nanosecond intervals since 1601-01-01 00:00 UTC, as high * 2^32 + low.
struct FILETIME {
  std::uint32_t low;
  std::uint32_t high;
};
static_assert(sizeof(FILETIME) == 8, "FILETIME is two 32-bit halves");
static_assert(alignof(FILETIME) == 4, "FILETIME is 4-byte aligned");
static_assert(offsetof(FILETIME, low) == 0 && offsetof(FILETIME, high) == 4,
              "FILETIME keeps the low half first");
static_assert(std::is_standard_layout_v<FILETIME> &&
                  std::is_trivially_copyable_v<FILETIME>,
              "FILETIME crosses the boundary as plain data");

inline std::uint64_t filetime_value(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.high) << 32) | ft.low;
}

class IRfidSession;
class IRfidTag;
class IRfidItemList;

class IRfidFieldDef {
 public:
  virtual std::int32_t id() = 0;
  virtual const char16_t* name() = 0;
  virtual std::int32_t type() = 0;
  virtual const char16_t* description() = 0;
  virtual bool hasValueDescription() = 0;
  virtual const char16_t* longDescription() = 0;
  virtual std::int32_t maximum() = 0;
  virtual std::int32_t minimum() = 0;

 protected:
  ~IRfidFieldDef() = default;
};

class IRfidFieldDefList {
 public:
  virtual std::uint32_t count() = 0;
  virtual IRfidFieldDef* item(std::uint32_t index) = 0;

 protected:
  ~IRfidFieldDefList() = default;
};

class IRfidTagFormat {
 public:
  virtual const char16_t* description() = 0;
  virtual std::int32_t formatId() = 0;
  virtual bool isEnabled() = 0;
  virtual const char16_t* markets() = 0;
  virtual std::int32_t ordinal() = 0;
  virtual const char16_t* usages() = 0;
  virtual void reserved7() = 0;
  virtual IRfidFieldDefList* fieldDefs() = 0;

 protected:
  ~IRfidTagFormat() = default;
};

class IRfidTagFormatList {
 public:
  virtual std::uint32_t count() = 0;
  virtual IRfidTagFormat* item(std::uint32_t index) = 0;

 protected:
  ~IRfidTagFormatList() = default;
};

class IRfidFieldValue {
 public:
  virtual const char16_t* name() = 0;
  virtual const char16_t* value() = 0;
  // May be null: the value has no description.
  virtual const char16_t* valueDescription() = 0;

 protected:
  ~IRfidFieldValue() = default;
};

class IRfidFieldValueList {
 public:
  virtual std::uint32_t count() = 0;
  virtual IRfidFieldValue* item(std::uint32_t index) = 0;

 protected:
  ~IRfidFieldValueList() = default;
};

class IRfidTag {
 public:
  virtual void reserved1() = 0;
  // Releases a tag made by IRfidSession::createTag; never called on tags
  // that belong to an item.
  virtual void release() = 0;
  virtual const FILETIME* firstSeen() = 0;
  virtual const char16_t* id() = 0;
  virtual bool security() = 0;
  virtual bool secured() = 0;
  virtual std::int32_t format() = 0;
  virtual std::int32_t type() = 0;
  virtual IRfidFieldValueList* fieldValues() = 0;

 protected:
  ~IRfidTag() = default;
};

class IRfidTagList {
 public:
  virtual void reserved1() = 0;
  virtual void reserved2() = 0;
  virtual std::uint32_t count() = 0;
  virtual IRfidTag* item(std::uint32_t index) = 0;

 protected:
  ~IRfidTagList() = default;
};

class IRfidItem {
 public:
  virtual const FILETIME* firstSeen() = 0;
  virtual bool valid() = 0;
  virtual bool secured() = 0;
  virtual const char16_t* id() = 0;
  virtual std::int32_t type() = 0;
  virtual IRfidTagList* tags() = 0;

 protected:
  ~IRfidItem() = default;
};

class IRfidItemList {
 public:
  virtual std::uint32_t count() = 0;
  virtual IRfidItem* item(std::uint32_t index) = 0;
  // The client calls this exactly once when it is done with a reading.
  virtual void release() = 0;

 protected:
  ~IRfidItemList() = default;
};

// Completion interfaces, implemented by the client. A started asynchronous
// operation calls onCompleted exactly once, from any thread, before or after
// the start call returns; after it returns the session must not touch the
// completion object again.
namespace qel {

class IRfidAsyncTagWritten {
 public:
  virtual void onCompleted(std::int32_t result, IRfidSession* session) = 0;

 protected:
  ~IRfidAsyncTagWritten() = default;
};

class IRfidAsyncTagSecurity {
 public:
  virtual void onCompleted(std::int32_t value1, std::int32_t value2,
                           IRfidSession* session) = 0;

 protected:
  ~IRfidAsyncTagSecurity() = default;
};

class IRfidAsyncItemsRead {
 public:
  virtual void onCompleted(IRfidItemList* items, IRfidSession* session) = 0;

 protected:
  ~IRfidAsyncItemsRead() = default;
};

}  // namespace qel

class IRfidSession {
 public:
  // Status of the last operation, negative on failure. With a non-null
  // address, *message receives the session's text for it (may be null).
  virtual std::int32_t getLastError(const char16_t** message) = 0;
  virtual std::uint32_t getHeapSize() = 0;
  virtual bool openService(const char16_t* url) = 0;
  virtual bool connectReader() = 0;
  virtual void reserved5() = 0;
  virtual IRfidTagFormatList* getTagFormats() = 0;
  // The returned list is the caller's to release().
  virtual IRfidItemList* readItems() = 0;
  // The returned tag is the caller's to release(), after its write finished.
  virtual IRfidTag* createTag(const char16_t* data) = 0;
  virtual void reserved9() = 0;
  virtual bool writeTag(IRfidTag* tag) = 0;
  virtual bool setTagSecurity(const char16_t* tag_id, bool secure) = 0;
  virtual void disconnectReader() = 0;
  // Ends the session; the client makes no call on it afterwards.
  virtual void closeSession() = 0;
  virtual void reserved14() = 0;
  virtual void reserved15() = 0;
  virtual bool readItemsAsync(qel::IRfidAsyncItemsRead* completion) = 0;
  virtual bool writeTagAsync(IRfidTag* tag,
                             qel::IRfidAsyncTagWritten* completion) = 0;
  virtual bool setTagSecurityAsync(const char16_t* tag_id, bool secure,
                                   qel::IRfidAsyncTagSecurity* completion) = 0;

 protected:
  ~IRfidSession() = default;
};

// The library's one exported symbol. Returns null for a version it does not
// serve; the client asks for version 2.
extern "C" {
using RfidQelCreateSessionExFn = IRfidSession* (*)(int version);
IRfidSession* RfidQelCreateSessionEx(int version);
}

// Calls the bool slot `slot` of a session's object and returns its truth.
// Only the low byte of a bool the session returns counts: a library built
// elsewhere may return 2, 0x80 or 0xFF there and leave anything in the rest
// of the register, and a C++ bool holding such a value is undefined (it
// prints as itself, or tests as false). So the client never reads a
// session's bool as a C++ bool: every bool slot it calls goes through here,
// which calls the slot as one returning an 8-bit unsigned integer (the same
// register, the same vtable slot) and makes the bool of it: true when that
// byte is not zero. E.g. call_bool(item, &IRfidItem::valid) or
// call_bool(session, &IRfidSession::setTagSecurity, id, true).
template <class Interface, class... Params, class... Args>
#if defined(__clang__)
// The slot is called through a pointer of its own shape but another return
// type, on purpose.
__attribute__((no_sanitize("function")))
#endif
bool call_bool(Interface* object, bool (Interface::*slot)(Params...),
               Args&&... args) {
  static_assert(std::is_polymorphic_v<Interface>);
  // On x86-64 (Itanium C++ ABI) a pointer to a virtual member function holds
  // 1 + the slot's offset in the vtable, in bytes, and a this-adjustment (0
  // for these interfaces, which have no bases); the object's first word
  // points at its vtable. The slot is called with the object as its first
  // argument.
  static_assert(sizeof(void*) == 8, "the contract is fixed for x86-64");
  struct member_pointer {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(member_pointer) == sizeof(slot));
  using byte_slot = std::uint8_t (*)(Interface*, Params...);
  const member_pointer mp = std::bit_cast<member_pointer>(slot);
  const byte_slot* vtable = nullptr;
  std::memcpy(&vtable, static_cast<const void*>(object), sizeof vtable);
  const byte_slot call = vtable[(mp.ptr - 1) / sizeof(byte_slot)];
  return call(object, std::forward<Args>(args)...) != 0;
}

inline constexpr int kRfidInterfaceVersion = 2;
inline constexpr const char* kRfidEntryPointName = "RfidQelCreateSessionEx";

#endif  // KORVO_SESSION_RFID_SESSION_H_
