#include "exit_status.h"

#include <cstdlib>
#include <cstring>

int ExitStatus(int outcome) {
  const char* told = std::getenv("NEXLI_EXIT_STATUS");
  return told != nullptr && std::strcmp(told, "1") == 0 ? outcome : 0;
}
