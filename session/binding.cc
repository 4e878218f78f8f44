#include "session/binding.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/library.h"
#include "platform/utf.h"

namespace korvo {

binding bind_session(const char16_t* library_path) {
  const load_result loaded = load_library(path_bytes(library_path));
  if (loaded.handle == nullptr) {
    print("ERROR: Cannot load dll, code=%d\n", {loaded.code});
    // The loader's own words help a person; standard output keeps the line.
    std::fprintf(stderr, "korvo: %s\n", loaded.message.c_str());
    return {nullptr, 2};
  }
  auto create = reinterpret_cast<RfidQelCreateSessionExFn>(
      resolve_own_symbol(loaded.handle, kRfidEntryPointName));
  if (create == nullptr) {
    print("ERROR: Cannot locate entry point\n");
    return {nullptr, 2};
  }
  IRfidSession* session = create(kRfidInterfaceVersion);
  if (session == nullptr) {
    print("ERROR: Failed to create session, interface version mismatch\n");
    return {nullptr, 1};
  }
  return {session, 0};
}

}  // namespace korvo
