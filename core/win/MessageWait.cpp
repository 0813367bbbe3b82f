#include "core/win/MessageWait.h"

namespace {
// QS_ALLINPUT as Windows 7 knows it; the SDK's newer value adds bits that
// make Windows 7 fail the wait.
constexpr DWORD allInputWindows7 = 0x4FF;
}  // namespace

DWORD waitForEventOrMessages(HANDLE event) {
  DWORD woke = MsgWaitForMultipleObjectsEx(1, &event, INFINITE, allInputWindows7, MWMO_INPUTAVAILABLE);
  if (woke == WAIT_FAILED) return woke;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return woke;
}
