#include "tunnel/win/AdminOnlyFolder.h"

#include <objbase.h>
#include <sddl.h>

#include <exception>

#include "core/DebugLog.h"
#include "core/Text.h"
#include "core/win/System.h"

namespace {

// Owner Administrators; a protected DACL (nothing inherited from the user's
// folder) giving SYSTEM and Administrators full control, passed on to
// everything created inside.
const wchar_t kAdminOnly[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring uniqueName() {
  GUID guid;
  if (CoCreateGuid(&guid) != S_OK) return std::wstring();
  wchar_t text[40];
  if (StringFromGUID2(guid, text, 40) == 0) return std::wstring();
  return L"zav-" + std::wstring(text);
}

}  // namespace

std::unique_ptr<AdminOnlyFolder> AdminOnlyFolder::create(const std::wstring& parent) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnly, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  std::unique_ptr<AdminOnlyFolder> folder;
  // A name taken already is never reused: someone else may have made it.
  for (int attempt = 0; attempt < 8 && !folder; ++attempt) {
    std::wstring name = uniqueName();
    if (name.empty() || parent.size() + 1 + name.size() + 1 > MAX_PATH) break;
    std::wstring path = joinPath(parent, name);
    if (!CreateDirectoryW(path.c_str(), &attributes)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
      break;
    }
    WinFile pin(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                winhandle::kNoCloseCode);
    if (!pin) {
      RemoveDirectoryW(path.c_str());
      break;
    }
    folder.reset(new AdminOnlyFolder(path, std::move(pin)));
  }
  LocalFree(descriptor);
  return folder;
}

AdminOnlyFolder::~AdminOnlyFolder() {
  pin_.reset();
  try {
    deleteTree(path_);
  } catch (const std::exception& e) {
    writeDebugLog("removing " + toUtf8(path_) + " failed: " + e.what() + "\n");
  }
}
