#include <unistd.h>

#include <cstdio>

#include "core/FatalError.h"

void endProcessWithFatalError(int code) {
  std::fprintf(stderr, "Fatal Error.\nError Code: %d\n", code);
  std::fflush(stderr);
  _exit(1);
}
