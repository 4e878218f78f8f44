// The start-up floor: the least any client of a session library must do.
// Loads the library given as the only argument, resolves the entry point,
// creates a session, opens the service and closes the session; prints
// nothing. Exit code 0 when all of that worked.
#include <dlfcn.h>

#include "session/rfid_session.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* library = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 2;
  auto create = reinterpret_cast<RfidQelCreateSessionExFn>(
      ::dlsym(library, kRfidEntryPointName));
  if (create == nullptr) return 2;
  IRfidSession* session = create(kRfidInterfaceVersion);
  if (session == nullptr) return 1;
  const bool opened =
      session->openService(u"http://127.0.0.1:21645/TagService");
  session->closeSession();
  return opened ? 0 : 1;
}
