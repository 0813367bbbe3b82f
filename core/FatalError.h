#pragma once

// Ends the process with "Fatal Error.\nError Code: <code>" when the client
// cannot go on. Every call site has its own number.
[[noreturn]] void fatalError(int code);

// Tests take over the ending: the hook is called first and must not return
// (it throws or exits). Not set in the shipped programs.
using FatalErrorHook = void (*)(int code);
void setFatalErrorHook(FatalErrorHook hook);

// The platform's own ending, after the hook.
[[noreturn]] void endProcessWithFatalError(int code);
