#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "core/win/WinHandle.h"

// A new folder, uniquely named, that only administrators and SYSTEM may
// write: what the elevated client puts there for an elevated program to run
// or read can't be swapped or joined by an unelevated one. It is opened as it
// is made, and that handle keeps it from being renamed or replaced (the
// user's temporary folder lets the user move what is in it). Destroying it
// removes it with its contents; a failure there is logged, never thrown.
class AdminOnlyFolder {
 public:
  // Null when it could not be made (the parent missing, for one).
  static std::unique_ptr<AdminOnlyFolder> create(const std::wstring& parent);
  ~AdminOnlyFolder();
  AdminOnlyFolder(const AdminOnlyFolder&) = delete;
  AdminOnlyFolder& operator=(const AdminOnlyFolder&) = delete;

  const std::wstring& path() const { return path_; }

 private:
  AdminOnlyFolder(std::wstring path, WinFile pin) : path_(std::move(path)), pin_(std::move(pin)) {}

  std::wstring path_;
  WinFile pin_;  // opened without delete sharing; closed before the removal
};
