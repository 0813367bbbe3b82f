#pragma once

// How each controller makes the other without naming its class, the way
// start-up hands the dispatcher its GUI starter: the login controller opens
// the main window through a MainControllerStarter, the main controller goes
// back to the login window through a LoginControllerStarter. Both are made in
// bridge/win/LoginStart.h.
#include <windows.h>
#include <wrl/client.h>

#include <functional>

#include "bridge/win/GuiInterfaces.h"

// Hands the new controller to the GUI and returns the view the GUI gave for
// it; a GUI call that fails (or gives no view) ends the process in here, with
// the caller's own number.
using MainWindowShow = std::function<Microsoft::WRL::ComPtr<IMainView>(IMainController* controller)>;
using LoginWindowShow = std::function<Microsoft::WRL::ComPtr<ILoginView>(ILoginController* controller)>;

// Makes a controller, shows it through show and attaches it to that view.
using MainControllerStarter = std::function<void(const MainWindowShow& show)>;
using LoginControllerStarter = std::function<void(const LoginWindowShow& show)>;
