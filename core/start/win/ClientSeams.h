#pragma once

#include "bridge/win/ControllerSeams.h"

// The seams the client runs with. The shipped program's definition gives the
// client's own parts everywhere; a test build of the same main links its own.
ControllerSeams clientSeams();
