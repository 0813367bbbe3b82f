#pragma once

#include "bridge/win/ControllerSeams.h"
#include "core/app/win/MainDispatcher.h"

struct IGuiEntry;

// The dispatcher's GUI starter for the client: takes over the caller's one
// reference to gui (released with the starter), makes the login controller
// and shows the login view on it; the controller gets the seams.
MainDispatcher::GuiStarter loginStarter(IGuiEntry* gui, ControllerSeams seams);
