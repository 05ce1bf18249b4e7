// Shared by the fuzz targets: the program's errors end one input (by throwing
// InputEnded out of EndProcess) instead of the process, and standard output,
// where the program's messages go, is discarded.
#ifndef NEXLI_FUZZ_SUPPORT_H
#define NEXLI_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>

// Thrown where the program would print its message and end, with the
// outcome class it would end with (kExitDone, kExitFailed, kExitRejected).
struct InputEnded {
  int outcome;
};

// Stops the fuzzer with a finding when a property does not hold.
#define FUZZ_CHECK(condition)                                    \
  do {                                                           \
    if (!(condition)) {                                          \
      std::fprintf(stderr, "property failed: %s\n", #condition); \
      std::abort();                                              \
    }                                                            \
  } while (0)

#endif
