// A shared library that exports the session entry point, for a library that
// only depends on it. Being called is a fault: it says so and ends the run.
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void* RfidQelCreateSessionEx(
    int) {
  std::fputs("UNEXPECTED entry point of a dependency called\n", stderr);
  std::abort();
}
