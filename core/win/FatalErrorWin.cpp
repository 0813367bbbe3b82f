#include <windows.h>

#include <string>

#include "core/FatalError.h"

void endProcessWithFatalError(int code) {
  std::wstring text = L"Fatal Error.\nError Code: " + std::to_wstring(code);
  MessageBoxW(nullptr, text.c_str(), nullptr, MB_ICONERROR | MB_TOPMOST);
  TerminateProcess(GetCurrentProcess(), 1);
  for (;;) Sleep(INFINITE);
}
