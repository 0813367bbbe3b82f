#include "core/start/win/ClientSeams.h"

ControllerSeams clientSeams() { return ControllerSeams(); }
