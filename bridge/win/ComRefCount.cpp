#include "bridge/win/ComRefCount.h"

#include <sstream>

#include "core/DebugLog.h"
#include "core/FatalError.h"

ComRefCount::ComRefCount() {
  std::ostringstream line;
  line << "@" << static_cast<const void*>(this) << ": New \n";
  writeDebugLog(line.str());
}

ComRefCount::~ComRefCount() {
  if (freeLogged_) return;
  std::ostringstream line;
  line << "@" << static_cast<const void*>(this) << ": Free without release\n";
  writeDebugLog(line.str());
}

ULONG ComRefCount::addRef() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<ULONG>(++count_);
}

bool ComRefCount::addRefUnlessZero() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) return false;
  ++count_;
  return true;
}

ULONG ComRefCount::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == 0) fatalError(131);
  if (--count_ == 0) {
    std::ostringstream line;
    line << "@" << static_cast<const void*>(this) << ": Free\n";
    writeDebugLog(line.str());
    freeLogged_ = true;
  }
  return static_cast<ULONG>(count_);
}
