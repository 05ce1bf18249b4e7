#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

[[noreturn]] void FuzzEndProcess(int outcome) { throw InputEnded{outcome}; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's messages are not what is being tested here.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}
