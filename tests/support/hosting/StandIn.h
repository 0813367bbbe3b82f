#pragma once

// Shared parts of the stand-in hosting DLL ("mscoree.dll" beside the test
// copy of the client): the record a test reads back, the main-thread check,
// the one step told to fail, and reference counts checked at exit.
//
// Environment, read at each use:
//   ZAV_STANDIN_RECORD  file the record lines are appended to
//   ZAV_STANDIN_FAIL    the one step that fails, e.g. "GetRuntime" (an error
//                       result) or "GetRuntime:null" (success, no object)
//   ZAV_STANDIN_GUI     the GUI's script, actions separated by ','
//                       (see StandInGui.cpp)
// Every line that starts with "ERROR " breaks the hosting or GUI contract.
// The client's MessageBoxW calls are recorded, not shown:
//   MessageBoxW "<text, \n for line breaks>" caption=null owner=null flags=0x...

#include <windows.h>

#include <string>

namespace standin {

void record(const std::string& line);
void error(const std::string& line);  // record("ERROR " + line)

// Remembered on the first hosting call: the client's main thread.
void setMainThread();
void checkThread(const char* call);

std::string setting(const char* name);
// ZAV_STANDIN_FAIL is step (mode empty) or step:mode.
bool failing(const char* step, const char* mode = "");

// A counted object of the stand-in; counts left at CorExitProcess are leaks.
class Counted {
 public:
  explicit Counted(const char* name);
  const char* name() const { return name_; }
  ULONG addRef();
  ULONG release();  // records "<name>::Release <left>"
  LONG count() const { return count_; }

 private:
  const char* name_;
  LONG count_ = 1;
};
void checkLeaks();

std::string narrow(const wchar_t* text);
std::string guidText(const GUID& guid);

}  // namespace standin
