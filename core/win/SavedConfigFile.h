#pragma once

#include <memory>
#include <string>

#include "core/SavedConfig.h"

// The file lives in the user's own folder, which any program of the user may
// change, while the client runs elevated: neither the folder nor the file is
// used when it is a link (a junction, a symbolic or a hard link) or when what
// was opened is not at the path built.
//
// The whole file unprotected with CryptUnprotectData under the current user,
// or null when it can't be opened, read or unprotected, or is a link.
std::unique_ptr<std::string> readProtectedFile(const std::wstring& path);
// Protects text with CryptProtectData, writes the result to a new file in the
// same folder and puts it in the file's place in one step, so the file is
// always the old settings or the new ones; false when protection or writing
// fails or the folder or the old file is a link.
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
