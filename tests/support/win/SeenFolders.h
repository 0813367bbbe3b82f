#pragma once

#include <ostream>
#include <string>

// What a started program sees as its temporary and current folders: recorded
// by the stand-ins that tests start (the child helper's "--folders FILE"; the
// tapinstall, .NET installer and updated client stand-ins when the
// environment they inherit names a file in ZAV_FOLDERS_RECORD).
struct SeenFolders {
  std::wstring tmp;
  std::wstring temp;
  std::wstring current;
};
// Paths compared as the file system compares names (comparable form, case
// ignored); printed in UTF-8.
bool operator==(const SeenFolders& a, const SeenFolders& b);
void PrintTo(const SeenFolders& seen, std::ostream* out);

// This process's TMP, TEMP and current folder, one UTF-8 line each, written
// whole under another name and then renamed; false when that failed.
bool recordSeenFolders(const std::wstring& file);
// recordSeenFolders into the file ZAV_FOLDERS_RECORD names; true when it
// names none.
bool recordSeenFoldersIfAsked();
// std::runtime_error when the file can't be read or lacks a line.
SeenFolders readSeenFolders(const std::wstring& file);

// This process's TMP and TEMP name folder for the holder's life (as the user's
// own settings name a folder of the user's); then they are as they were.
class UserTempFolder {
 public:
  explicit UserTempFolder(const std::wstring& folder);
  ~UserTempFolder();
  UserTempFolder(const UserTempFolder&) = delete;
  UserTempFolder& operator=(const UserTempFolder&) = delete;

 private:
  struct Saved {
    bool set;
    std::wstring value;
  };
  Saved tmp_;
  Saved temp_;
};
