#pragma once

#include <memory>
#include <string>

#include "core/SavedConfig.h"

// The whole file unprotected with CryptUnprotectData under the current user,
// or null when it can't be opened, read or unprotected.
std::unique_ptr<std::string> readProtectedFile(const std::wstring& path);
// Protects text with CryptProtectData and replaces the file with the result;
// false when protection, writing or flushing fails.
bool writeProtectedFile(const std::string& text, const std::wstring& path);

// "SavedConfig.dat" in its folder; the folder is created at each write.
class SavedConfigFile : public SavedConfigStore {
 public:
  SavedConfigFile(std::wstring folder, std::wstring file);
  // appDataFolder()\ZAV\SavedConfig.dat: the settings of the current user.
  static std::unique_ptr<SavedConfigFile> forCurrentUser();

  std::unique_ptr<std::string> read() override;
  bool write(const std::string& text) override;

  const std::wstring& folder() const { return folder_; }
  const std::wstring& file() const { return file_; }

 private:
  std::wstring folder_;
  std::wstring file_;
};
