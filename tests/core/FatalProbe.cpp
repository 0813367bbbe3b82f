#include <windows.h>

#include <cstdlib>

#include "core/FatalError.h"

// Ends through fatalError with the code given as its argument.
int wmain(int argc, wchar_t** argv) {
  fatalError(argc > 1 ? _wtoi(argv[1]) : 0);
}
