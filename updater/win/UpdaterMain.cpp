#include <windows.h>

#include "updater/win/UpdaterRun.h"

namespace {

class MessageBoxUi : public UpdaterUi {
 public:
  void showError(const wchar_t* message) override {
    MessageBoxW(nullptr, message, nullptr, MB_ICONERROR | MB_TOPMOST);
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  MessageBoxUi ui;
  ExitProcess(static_cast<UINT>(runUpdater(argc, argv, ui)));
}
