#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "core/win/WinHandle.h"

// The Temp folder of the system's Windows folder. No environment variable
// names it and no unelevated program can replace it or what an administrator
// made in it (users may add entries there, never remove or rename others').
std::wstring systemTempFolder();

// A new folder, uniquely named, that only administrators and SYSTEM may
// write: what the elevated client puts there for an elevated program to run
// or read can't be swapped or joined by an unelevated one. It is opened as it
// is made and checked to be at the path built (no link above it led
// elsewhere); that handle keeps it from being renamed or replaced, files go in
// through it, and its removal goes through it too, following no link.
// Destroying it removes it with its contents; a failure there is logged,
// never thrown.
class AdminOnlyFolder {
 public:
  // Null when it could not be made under parent (missing, for one) or the
  // folder made is not at the path built; parent empty means
  // systemTempFolder().
  static std::unique_ptr<AdminOnlyFolder> create(const std::wstring& parent = std::wstring());
  ~AdminOnlyFolder();
  AdminOnlyFolder(const AdminOnlyFolder&) = delete;
  AdminOnlyFolder& operator=(const AdminOnlyFolder&) = delete;

  const std::wstring& path() const { return path_; }
  // bytes in a new file name made inside this folder through its handle; the
  // file's path, or empty when it could not be written whole
  // (nothing of it stays then) or the name is taken.
  std::wstring writeFile(const std::wstring& name, const std::string& bytes);

 private:
  AdminOnlyFolder(std::wstring path, WinFile pin) : path_(std::move(path)), pin_(std::move(pin)) {}

  std::wstring path_;
  WinFile pin_;  // opened without delete sharing; the removal goes through it
};
