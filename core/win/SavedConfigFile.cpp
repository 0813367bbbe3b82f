#include "core/win/SavedConfigFile.h"

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <utility>

#include "core/win/System.h"

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

}  // namespace

std::unique_ptr<std::string> readProtectedFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return nullptr;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || bytes.size() > MAXDWORD) return nullptr;
  DATA_BLOB input = blobOf(bytes);
  LocalBlob output;
  if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output.blob)) return nullptr;
  return std::make_unique<std::string>(reinterpret_cast<const char*>(output.blob.pbData), output.blob.cbData);
}

bool writeProtectedFile(const std::string& text, const std::wstring& path) {
  if (text.size() > MAXDWORD) return false;
  DATA_BLOB input = blobOf(text);
  LocalBlob output;
  if (!CryptProtectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output.blob)) return false;
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(output.blob.pbData), static_cast<std::streamsize>(output.blob.cbData));
  out.flush();
  out.close();
  return static_cast<bool>(out);
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
