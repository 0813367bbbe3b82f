#pragma once

#include <windows.h>

#include "core/FatalError.h"

// A call into the GUI that must not fail: a failing HRESULT is fatal with the
// number of its call site.
inline void checkGuiCall(HRESULT result, int fatalCode) {
  if (FAILED(result)) fatalError(fatalCode);
}
