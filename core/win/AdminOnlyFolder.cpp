#include "core/win/AdminOnlyFolder.h"

#include <objbase.h>
#include <sddl.h>
#include <winternl.h>

#include <exception>
#include <stdexcept>

#include "core/DebugLog.h"
#include "core/Text.h"
#include "core/win/LinkChecks.h"
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

const NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

// Makes the folder with its descriptor and opens it in one step, so the handle
// is of the folder made here, never of one put in its place.
WinFile createPinned(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, NTSTATUS& status) {
  std::wstring ntPath = path.compare(0, 2, L"\\\\") == 0 ? L"\\??\\UNC\\" + path.substr(2) : L"\\??\\" + path;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ntPath.c_str());
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  status = NtCreateFile(&handle, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes,
                        &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return WinFile(status == 0 ? handle : INVALID_HANDLE_VALUE, winhandle::kNoCloseCode);
}

// The contents go through the pin; the folder itself through a handle with
// delete access, which the pin lacks so that listing the folder stays open to
// others (an open for deletion would exclude every opener that does not share
// deletion). That second handle must be of the folder the pin held.
void removeThroughPin(WinFile pin, const std::wstring& path) {
  try {
    removeContents(pin.get(), path);
    FileIdentity made{};
    if (!identityOf(pin.get(), made)) throw std::runtime_error("the folder's identity is unknown");
    pin.reset();
    WinFile folder(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                   winhandle::kNoCloseCode);
    FileIdentity opened{};
    if (!folder || !identityOf(folder.get(), opened) || !(opened == made))
      throw std::runtime_error("the folder is not the one made");
    removeOpenedTree(std::move(folder), path);
  } catch (const std::exception& e) {
    writeDebugLog("removing " + toUtf8(path) + " failed: " + e.what() + "\n");
  }
}

}  // namespace

std::wstring systemTempFolder() {
  wchar_t buffer[MAX_PATH];
  // The system's own Windows folder, never a per-session one.
  UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("no Windows folder");
  return joinPath(std::wstring(buffer, length), L"Temp");
}

std::unique_ptr<AdminOnlyFolder> AdminOnlyFolder::create(const std::wstring& givenParent) {
  std::wstring parent = givenParent.empty() ? systemTempFolder() : givenParent;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnly, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  std::unique_ptr<AdminOnlyFolder> folder;
  // A name taken already is never reused: someone else may have made it.
  for (int attempt = 0; attempt < 8 && !folder; ++attempt) {
    std::wstring name = uniqueName();
    if (name.empty() || parent.size() + 1 + name.size() + 1 > MAX_PATH) break;
    std::wstring path = joinPath(parent, name);
    NTSTATUS status = 0;
    WinFile pin = createPinned(path, descriptor, status);
    if (pin) {
      if (!isOpenedAt(pin.get(), path)) {
        // Made through a link: the folder is gone again, by its handle.
        writeDebugLog("admin-only folder " + toUtf8(path) + " is elsewhere: " + toUtf8(finalPathOf(pin.get())) + "\n");
        removeThroughPin(std::move(pin), path);
        break;
      }
      folder.reset(new AdminOnlyFolder(path, std::move(pin)));
    } else if (status != kNameCollision) {
      break;
    }
  }
  LocalFree(descriptor);
  return folder;
}

std::wstring AdminOnlyFolder::writeFile(const std::wstring& name, const std::string& bytes) {
  WinFile file = createInFolder(pin_.get(), name);
  if (!file) return std::wstring();
  std::wstring path = joinPath(path_, name);
  if (!writeAllTo(file.get(), bytes)) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    return std::wstring();
  }
  return path;
}

AdminOnlyFolder::~AdminOnlyFolder() { removeThroughPin(std::move(pin_), path_); }
