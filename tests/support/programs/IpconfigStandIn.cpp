// Stands in for the system's ipconfig.exe (tests/support/programs/SystemToolStandIn.h):
// records to ZAV_IPCONFIG_RECORD, exit codes from ZAV_IPCONFIG_EXIT.
#include <windows.h>

#include "tests/support/programs/SystemToolStandIn.h"

int wmain() { return runSystemToolStandIn(L"ZAV_IPCONFIG_RECORD", L"ZAV_IPCONFIG_EXIT"); }
