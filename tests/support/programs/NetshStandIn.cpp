// Stands in for the system's netsh.exe (tests/support/programs/SystemToolStandIn.h):
// records to ZAV_NETSH_RECORD, exit codes from ZAV_NETSH_EXIT.
#include <windows.h>

#include "tests/support/programs/SystemToolStandIn.h"

int wmain() { return runSystemToolStandIn(L"ZAV_NETSH_RECORD", L"ZAV_NETSH_EXIT"); }
