#pragma once

#include <windows.h>

// Waits until the event is set or window input is there, then pumps every
// pending message. MWMO_INPUTAVAILABLE: a message that nested code peeked at
// without removing still ends the wait. Returns the wait's result
// (WAIT_FAILED for the caller's own fatal code).
DWORD waitForEventOrMessages(HANDLE event);
