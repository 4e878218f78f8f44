// A property check for fuzz targets: a broken property stops the run the way
// a crash does, so libFuzzer keeps the input that broke it.
#ifndef KORVO_FUZZ_FUZZ_CHECK_H_
#define KORVO_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                  \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (false)

#endif  // KORVO_FUZZ_FUZZ_CHECK_H_
