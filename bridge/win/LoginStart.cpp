#include "bridge/win/LoginStart.h"

#include "bridge/win/FormLoginController.h"
#include "bridge/win/FormMainController.h"
#include "bridge/win/GuiInterfaces.h"
#include "core/FatalError.h"

using Microsoft::WRL::ComPtr;

MainDispatcher::GuiStarter loginStarter(IGuiEntry* gui, ControllerSeams seams) {
  std::shared_ptr<IGuiEntry> entry(gui, [](IGuiEntry* held) {
    if (held) held->Release();
  });
  return [entry, seams](const std::shared_ptr<MainDispatcher>& dispatcher) {
    loginControllerStarter(dispatcher, seams)([&entry](ILoginController* controller) {
      ComPtr<ILoginView> view;
      HRESULT shown = entry ? entry->showLogin(controller, view.GetAddressOf()) : E_POINTER;
      if (FAILED(shown) || !view) fatalError(143);
      return view;
    });
  };
}

MainControllerStarter mainControllerStarter(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams) {
  return [dispatcher, seams](const MainWindowShow& show) {
    ComPtr<FormMainController> controller(
        new FormMainController(dispatcher, seams, loginControllerStarter(dispatcher, seams)));
    ComPtr<IMainView> view = show(static_cast<IMainController*>(controller.Get()));
    controller->attach(view.Get());
  };
}

LoginControllerStarter loginControllerStarter(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams) {
  return [dispatcher, seams](const LoginWindowShow& show) {
    ComPtr<FormLoginController> controller(
        new FormLoginController(dispatcher, seams, mainControllerStarter(dispatcher, seams)));
    ComPtr<ILoginView> view = show(static_cast<ILoginController*>(controller.Get()));
    controller->attach(view.Get());
  };
}
