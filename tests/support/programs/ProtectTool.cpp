// Makes and reads DPAPI fixtures at test time (the blobs of one system can't
// be read on another):  protect_tool protect|unprotect IN OUT
// Exit code 0 on success, 1 when the data can't be (un)protected, 2 on bad use.
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  std::wstring mode = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) return 2;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DATA_BLOB input = {static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(&bytes[0])};
  DATA_BLOB output = {0, nullptr};
  BOOL ok;
  if (mode == L"protect") ok = CryptProtectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output);
  else if (mode == L"unprotect") ok = CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, 0, &output);
  else return 2;
  if (!ok) return 1;
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(output.pbData), output.cbData);
  out.close();
  LocalFree(output.pbData);
  return out ? 0 : 2;
}
