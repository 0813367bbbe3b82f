#pragma once

#include <memory>

#include "bridge/win/ControllerSeams.h"
#include "bridge/win/ControllerStarters.h"
#include "core/app/win/MainDispatcher.h"

struct IGuiEntry;

// The dispatcher's GUI starter for the client: takes over the caller's one
// reference to gui (released with the starter), makes the login controller
// and shows the login view on it; the controller gets the seams.
MainDispatcher::GuiStarter loginStarter(IGuiEntry* gui, ControllerSeams seams);

// The one place that knows both controllers: each starter makes its
// controller with the seams and with the other starter, so the controllers
// hand the GUI back and forth without knowing each other.
MainControllerStarter mainControllerStarter(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams);
LoginControllerStarter loginControllerStarter(std::shared_ptr<MainDispatcher> dispatcher, ControllerSeams seams);
