#include "core/FatalError.h"

#include <atomic>

namespace {
std::atomic<FatalErrorHook> fatalHook{nullptr};
}

void setFatalErrorHook(FatalErrorHook hook) { fatalHook.store(hook); }

void fatalError(int code) {
  if (FatalErrorHook hook = fatalHook.load()) hook(code);
  endProcessWithFatalError(code);
}
