// The start-up floor: the least any client of a session library must do.
// Loads the library given as the only argument, resolves the entry point,
// creates a session, opens the service and closes the session; prints
// nothing. Exit code 0 when all of that worked.
#include "bench/load_session.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  IRfidSession* session = load_session(argv[1]);
  if (session == nullptr) return 1;
  const bool opened = session->openService(kBenchServiceUrl);
  session->closeSession();
  return opened ? 0 : 1;
}
