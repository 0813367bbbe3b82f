#include "tests/tunnel/TunnelWinFixtures.h"

#include <shlobj.h>

#include <cstring>
#include <stdexcept>

#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"

const wchar_t kOpenVpnKey[] = L"SOFTWARE\\OpenVPN";
const wchar_t kTapKey[] = L"SOFTWARE\\TAP-Windows";

void setDefaultValue(HKEY root, const wchar_t* key, DWORD type, const void* data, DWORD size, REGSAM view) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE | view, nullptr, &opened, nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create a test key");
  WinKey handle(opened, winhandle::kNoCloseCode);
  if (RegSetValueExW(handle.get(), nullptr, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
    throw std::runtime_error("cannot set a test value");
}

void setDefaultString(HKEY root, const wchar_t* key, const std::wstring& text, REGSAM view) {
  setDefaultValue(root, key, REG_SZ, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)), view);
}

void removeInstallationKeys() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
    for (const wchar_t* key : {kOpenVpnKey, kTapKey})
      for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) RegDeleteKeyExW(root, key, view, 0);
}

namespace {

// A minimal image of the given width: headers and one section holding a
// return, written here because a prefix holds no 32-bit programs where
// 32-bit Wine cannot run.
template <typename NtHeaders>
std::string peImage(WORD machine, WORD magic, WORD characteristics, ULONGLONG imageBase) {
  const DWORD fileAlignment = 0x200;
  const DWORD sectionAlignment = 0x1000;
  std::string bytes(2 * fileAlignment, '\0');
  IMAGE_DOS_HEADER dos = {};
  dos.e_magic = IMAGE_DOS_SIGNATURE;
  dos.e_lfanew = sizeof dos;
  NtHeaders nt = {};
  nt.Signature = IMAGE_NT_SIGNATURE;
  nt.FileHeader.Machine = machine;
  nt.FileHeader.NumberOfSections = 1;
  nt.FileHeader.SizeOfOptionalHeader = sizeof nt.OptionalHeader;
  nt.FileHeader.Characteristics = characteristics;
  auto& optional = nt.OptionalHeader;
  optional.Magic = magic;
  optional.SizeOfCode = fileAlignment;
  optional.AddressOfEntryPoint = sectionAlignment;
  optional.BaseOfCode = sectionAlignment;
  optional.ImageBase = imageBase;
  optional.SectionAlignment = sectionAlignment;
  optional.FileAlignment = fileAlignment;
  optional.MajorOperatingSystemVersion = 6;
  optional.MajorSubsystemVersion = 6;
  optional.SizeOfImage = 2 * sectionAlignment;
  optional.SizeOfHeaders = fileAlignment;
  optional.Subsystem = IMAGE_SUBSYSTEM_WINDOWS_CUI;
  optional.SizeOfStackReserve = 0x100000;
  optional.SizeOfStackCommit = 0x1000;
  optional.SizeOfHeapReserve = 0x100000;
  optional.SizeOfHeapCommit = 0x1000;
  optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
  IMAGE_SECTION_HEADER text = {};
  std::memcpy(text.Name, ".text", 5);
  text.Misc.VirtualSize = 1;
  text.VirtualAddress = sectionAlignment;
  text.SizeOfRawData = fileAlignment;
  text.PointerToRawData = fileAlignment;
  text.Characteristics = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ;
  std::memcpy(&bytes[0], &dos, sizeof dos);
  std::memcpy(&bytes[sizeof dos], &nt, sizeof nt);
  std::memcpy(&bytes[sizeof dos + sizeof nt], &text, sizeof text);
  bytes[fileAlignment] = '\xC3';  // ret
  return bytes;
}

}  // namespace

std::string pe32Program() {
  return peImage<IMAGE_NT_HEADERS32>(IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC,
                                     IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE, 0x400000);
}

std::string pe64Program() {
  return peImage<IMAGE_NT_HEADERS64>(IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC,
                                     IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE, 0x140000000ull);
}

std::string dosProgram() {
  std::string bytes(128, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  return bytes;
}

std::string win16Program() {
  std::string bytes(256, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0x40;  // the new header's offset
  bytes[0x40] = 'N';
  bytes[0x41] = 'E';
  bytes[0x40 + 0x36] = 2;  // target: Windows
  return bytes;
}

std::wstring makeTestFolder(const std::wstring& stem) {
  std::wstring folder = uniqueTempPath(stem);
  if (!CreateDirectoryW(folder.c_str(), nullptr)) throw std::runtime_error("cannot make a test folder");
  return folder;
}

void placeFile(const std::wstring& folder, const std::wstring& relativePath, const std::string& bytes) {
  std::wstring path = joinPath(folder, relativePath);
  SHCreateDirectoryExW(nullptr, parentFolder(path).c_str(), nullptr);
  if (!writeWideFile(path, bytes)) throw std::runtime_error("cannot write a test file");
}

bool pathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string transcriptsIn(const std::wstring& folder) {
  std::string text;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(joinPath(folder, L"*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return text;
  do text += readWideFile(joinPath(folder, found.cFileName));
  while (FindNextFileW(search, &found));
  FindClose(search);
  return text;
}

void placeMarkedTapAdapter(const std::wstring& guid) {
  deleteRegistryTree(adapterClassKey);
  writeInstalledAdapter(L"0000", L"tap0901", guid);
  setRegistryDword(std::wstring(adapterClassKey) + L"\\0000", L"IsKWEL", 1);
  deleteRegistryTree(tcpipLinkageKey);
  setRegistryValue(tcpipLinkageKey, L"Bind", REG_MULTI_SZ, bindValue({guid}));
  TapDeviceFolder().addDevice(guid);
}

MarkedTapAdapter::MarkedTapAdapter(const std::wstring& guid) { placeMarkedTapAdapter(guid); }

MarkedTapAdapter::~MarkedTapAdapter() {
  deleteRegistryTree(adapterClassKey);
  deleteRegistryTree(tcpipLinkageKey);
  devices_.clear();
}
