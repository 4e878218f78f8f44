// What both floor programs do first: load the session library at path,
// resolve its entry point and create a session, as korvo does. Null when
// any step fails.
#ifndef KORVO_BENCH_LOAD_SESSION_H_
#define KORVO_BENCH_LOAD_SESSION_H_

#include <dlfcn.h>

#include "session/rfid_session.h"

inline IRfidSession* load_session(const char* path) {
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  auto create = reinterpret_cast<RfidQelCreateSessionExFn>(
      ::dlsym(library, kRfidEntryPointName));
  return create == nullptr ? nullptr : create(kRfidInterfaceVersion);
}

inline constexpr char16_t kBenchServiceUrl[] =
    u"http://127.0.0.1:21645/TagService";

#endif  // KORVO_BENCH_LOAD_SESSION_H_
