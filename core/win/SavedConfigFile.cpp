#include "core/win/SavedConfigFile.h"

#include <windows.h>
#include <wincrypt.h>

#include <objbase.h>

#include <utility>

#include "core/Text.h"
#include "core/win/LinkChecks.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

namespace {

// The protection's output buffer is LocalAlloc'ed by the system.
class LocalBlob {
 public:
  LocalBlob() : blob{0, nullptr} {}
  ~LocalBlob() {
    if (blob.pbData) LocalFree(blob.pbData);
  }
  LocalBlob(const LocalBlob&) = delete;
  LocalBlob& operator=(const LocalBlob&) = delete;
  DATA_BLOB blob;
};

DATA_BLOB blobOf(const std::string& bytes) {
  DATA_BLOB blob;
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  blob.cbData = static_cast<DWORD>(bytes.size());
  return blob;
}

std::wstring fileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<std::string> readProtectedFile(const std::wstring& path) {
  WinFile folder = openWithoutLinks(parentFolder(path), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!folder || !isFolder(folder.get())) return nullptr;
  WinFile file = openWithoutLinks(path, GENERIC_READ, FILE_SHARE_READ);
  if (!file || isFolder(file.get())) return nullptr;
  std::string bytes;
  if (!readAllFrom(file.get(), MAXDWORD, bytes)) return nullptr;
  DATA_BLOB input = blobOf(bytes);
  LocalBlob output;
  if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output.blob)) return nullptr;
  return std::make_unique<std::string>(reinterpret_cast<const char*>(output.blob.pbData), output.blob.cbData);
}

bool writeProtectedFile(const std::string& text, const std::wstring& path) {
  if (text.size() > MAXDWORD) return false;
  // Held without delete sharing while the new file is made and moved in, so
  // the folder stays the one checked.
  std::wstring folderPath = parentFolder(path);
  WinFile folder = openWithoutLinks(folderPath, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!folder || !isFolder(folder.get())) return false;
  // An old file that is a link, or a folder, is refused rather than replaced.
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    WinFile old = openWithoutLinks(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!old || isFolder(old.get())) return false;
  }
  DATA_BLOB input = blobOf(text);
  LocalBlob output;
  if (!CryptProtectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output.blob)) return false;
  std::string bytes(reinterpret_cast<const char*>(output.blob.pbData), output.blob.cbData);

  GUID guid;
  if (CoCreateGuid(&guid) != S_OK) return false;
  std::wstring name = fileNameOf(path) + L"." + fromUtf8(guidToString(guid)) + L".new";
  std::wstring newPath = joinPath(folderPath, name);
  {
    WinFile created = createInFolder(folder.get(), name);
    if (!created) return false;
    // On the disk before it takes the old file's place: a crash then leaves
    // the old settings or the new ones, never a name for missing content.
    if (!writeAllTo(created.get(), bytes) || !FlushFileBuffers(created.get()) || !isOpenedAt(created.get(), newPath)) {
      FILE_DISPOSITION_INFO disposition{TRUE};
      SetFileInformationByHandle(created.get(), FileDispositionInfo, &disposition, sizeof disposition);
      return false;
    }
  }
  if (!replaceInOneStep(newPath, path)) {
    DeleteFileW(newPath.c_str());
    return false;
  }
  return true;
}

SavedConfigFile::SavedConfigFile(std::wstring folder, std::wstring file)
    : folder_(std::move(folder)), file_(std::move(file)) {}

std::unique_ptr<SavedConfigFile> SavedConfigFile::forCurrentUser() {
  std::wstring folder = joinPath(appDataFolder(), L"ZAV");
  std::wstring file = joinPath(folder, L"SavedConfig.dat");
  return std::make_unique<SavedConfigFile>(std::move(folder), std::move(file));
}

std::unique_ptr<std::string> SavedConfigFile::read() { return readProtectedFile(file_); }

bool SavedConfigFile::write(const std::string& text) {
  // Usually there already; a real problem shows as a failed write.
  CreateDirectoryW(folder_.c_str(), nullptr);
  return writeProtectedFile(text, file_);
}
