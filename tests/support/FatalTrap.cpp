#include "tests/support/FatalTrap.h"

#include "core/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace {
struct FatalErrorRaised {
  int code;
};
[[noreturn]] void throwFatal(int code) { throw FatalErrorRaised{code}; }
}  // namespace

int fatalCodeOf(const std::function<void()>& fn) {
  setFatalErrorHook(&throwFatal);
  int code = -1;
  try {
    fn();
  } catch (const FatalErrorRaised& raised) {
    code = raised.code;
  }
  setFatalErrorHook(nullptr);
  return code;
}

void exitReportingFatalCode(int code) {
  std::fprintf(stderr, "Fatal Error.\nError Code: %d\n", code);
  std::fflush(stderr);
  std::_Exit(1);
}
