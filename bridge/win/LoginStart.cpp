#include "bridge/win/LoginStart.h"

#include <memory>

#include "bridge/win/FormLoginController.h"
#include "bridge/win/GuiInterfaces.h"
#include "core/FatalError.h"

MainDispatcher::GuiStarter loginStarter(IGuiEntry* gui, ControllerSeams seams) {
  std::shared_ptr<IGuiEntry> entry(gui, [](IGuiEntry* held) {
    if (held) held->Release();
  });
  return [entry, seams](const std::shared_ptr<MainDispatcher>& dispatcher) {
    FormLoginController* controller = new FormLoginController(dispatcher, seams);
    controller->AddRef();
    ILoginView* view = nullptr;
    HRESULT shown = entry ? entry->showLogin(static_cast<ILoginController*>(controller), &view) : E_POINTER;
    if (FAILED(shown) || !view) fatalError(143);
    controller->attach(view);
    view->Release();
    controller->Release();
  };
}
