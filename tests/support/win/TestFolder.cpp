#include "tests/support/win/TestFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/TestFiles.h"

std::string builtFile(const std::string& relative) {
  const char* binary = std::getenv("ZAV_BINARY_DIR");
  return readFileBytes(hostPath(std::string(binary ? binary : ".") + "/" + relative));
}

bool writeWideFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  return CloseHandle(file) && ok;
}

std::string readWideFile(const std::wstring& path) {
  // Delete sharing too: a file a helper has just renamed into place may still
  // be open, with delete access, in the helper's rename.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + toUtf8(path));
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

std::string fileOrNone(const std::wstring& path) {
  try {
    return readWideFile(path);
  } catch (const std::exception&) {
    return "<none>";
  }
}

std::wstring uniqueTempPath(const std::wstring& stem) {
  static std::atomic<unsigned> counter{0};
  return joinPath(tempFolder(), L"zav-" + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter));
}

std::wstring freshTestFolder(const std::wstring& prefix) {
  // A parameterised test's name holds a '/'.
  std::wstring name = fromUtf8(::testing::UnitTest::GetInstance()->current_test_info()->name());
  for (wchar_t& c : name)
    if (c == L'/') c = L'-';
  std::wstring folder = tempFolder() + prefix + name;
  try {
    deleteTree(folder);
  } catch (const std::exception&) {
  }
  EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  return folder;
}

void removeTestFolder(const std::wstring& folder) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    try {
      deleteTree(folder);
      return;
    } catch (const std::exception&) {
      Sleep(100);
    }
  }
}

HANDLE startProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started))
    return nullptr;
  CloseHandle(started.hThread);
  return started.hProcess;
}
