#pragma once

#include <windows.h>

#include <exception>
#include <string>

// Paths are built in MAX_PATH buffers; one that does not fit ends the process.
std::wstring appDataFolder();
std::wstring joinPath(const std::wstring& base, const std::wstring& more);
std::wstring exePath();
std::wstring parentFolder(const std::wstring& path);
// The user's own temporary folder (GetTempPathW): the user's environment names
// it and the user's programs may change what is in it, so nothing the client
// runs, hands to another program or removes as administrator goes there (see
// AdminOnlyFolder).
std::wstring tempFolder();
std::wstring system32Folder();
// Deletes a file or a folder with all its contents; a missing path is no error.
// Links and junctions are removed themselves, never followed: each folder is
// checked and listed through one handle (see removeOpenedTree). A link that
// the system follows even when told not to (Wine) stays, with an exception.
// std::runtime_error when an entry can't be listed or removed.
void deleteTree(const std::wstring& path);

bool isWow64();
// KEY_WOW64_64KEY under WOW64, so the 32-bit client sees the 64-bit registry.
REGSAM registryViewFlag();
bool readRegistryDefaultString(HKEY root, const std::wstring& subKey, std::wstring& out);
void trimAtNul(std::wstring& text);

// A failed COM allocation, thrown with its HRESULT (E_OUTOFMEMORY).
class ComError : public std::exception {
 public:
  explicit ComError(HRESULT result) : result_(result) {}
  HRESULT result() const noexcept { return result_; }
  const char* what() const noexcept override { return "COM error"; }

 private:
  HRESULT result_;
};

// A BSTR that is freed when the step that made it ends.
class BstrHolder {
 public:
  explicit BstrHolder(BSTR text) : text_(text) {}
  ~BstrHolder() { SysFreeString(text_); }
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

// An empty text is a null BSTR, which the managed side reads as "".
BSTR makeBstr(const std::wstring& text);
std::wstring fromBstr(BSTR text);
std::string guidToString(const GUID& guid);
