#include "core/DebugLog.h"

// The native flavour has no program folder to log into; its tests start the
// log on a file of their own with startDebugLog.
void openDebugLog() {}
