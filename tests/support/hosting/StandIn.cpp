#include "tests/support/hosting/StandIn.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace standin {
namespace {
std::mutex recordMutex;
DWORD mainThread = 0;
std::vector<Counted*>& allObjects() {
  static std::vector<Counted*> objects;
  return objects;
}
}  // namespace

std::string setting(const char* name) {
  char buffer[1024];
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return std::string(buffer, length);
}

void record(const std::string& line) {
  std::lock_guard<std::mutex> lock(recordMutex);
  std::string path = setting("ZAV_STANDIN_RECORD");
  if (path.empty()) return;
  if (FILE* file = std::fopen(path.c_str(), "ab")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

void error(const std::string& line) { record("ERROR " + line); }

void setMainThread() {
  if (!mainThread) mainThread = GetCurrentThreadId();
}

void checkThread(const char* call) {
  if (GetCurrentThreadId() != mainThread) error(std::string("off the main thread: ") + call);
}

bool failing(const char* step, const char* mode) {
  std::string wanted = step;
  if (*mode) wanted += std::string(":") + mode;
  return setting("ZAV_STANDIN_FAIL") == wanted;
}

Counted::Counted(const char* name) : name_(name) {
  std::lock_guard<std::mutex> lock(recordMutex);
  allObjects().push_back(this);
}

ULONG Counted::addRef() {
  if (count_ <= 0) error(std::string("AddRef after the last Release of ") + name_);
  return static_cast<ULONG>(InterlockedIncrement(&count_));
}

ULONG Counted::release() {
  LONG left = InterlockedDecrement(&count_);
  if (left < 0) error(std::string("Release past zero of ") + name_);
  record(std::string(name_) + "::Release " + std::to_string(left));
  return left < 0 ? 0 : static_cast<ULONG>(left);
}

void checkLeaks() {
  std::vector<Counted*> objects;
  {
    std::lock_guard<std::mutex> lock(recordMutex);
    objects = allObjects();
  }
  for (Counted* object : objects) {
    if (object->count() > 0) {
      error(std::string("leak of ") + object->name() + " with " + std::to_string(object->count()) + " references");
    }
  }
}

std::string narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

std::string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace standin
