#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

[[noreturn]] void FuzzEndProcess() { throw InputEnded(); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's messages are not what is being tested here.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}
