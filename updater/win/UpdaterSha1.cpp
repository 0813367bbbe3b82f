#include "updater/win/UpdaterSha1.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <limits>

bool sha1Of(const std::string& bytes, ContentKey& out) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
  HCRYPTHASH hash = 0;
  bool ok = CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) != 0;
  const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
  size_t left = bytes.size();
  while (ok && left > 0) {
    DWORD piece = static_cast<DWORD>(std::min<size_t>(left, std::numeric_limits<DWORD>::max() / 2));
    ok = CryptHashData(hash, data, piece, 0) != 0;
    data += piece;
    left -= piece;
  }
  DWORD length = static_cast<DWORD>(out.size());
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, out.data(), &length, 0) && length == out.size();
  if (hash) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return ok;
}
