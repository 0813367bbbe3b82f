// libuv (through the stream header) brings winsock2.h, which must come first.
#include "service/TlsStream.h"

#include <windows.h>
#include <wincrypt.h>

#include <sstream>

#include "core/DebugLog.h"
#include "core/FatalError.h"

namespace {

// Closes the store on every way out of loadSystemRootCAs.
class CertStoreCloser {
 public:
  explicit CertStoreCloser(HCERTSTORE store) : store_(store) {}
  ~CertStoreCloser() noexcept(false) {
    if (store_) closeCertStore();
  }
  void closeCertStore() {
    HCERTSTORE store = store_;
    store_ = nullptr;
    if (!CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG)) fatalError(87);
  }

 private:
  HCERTSTORE store_;
};

}  // namespace

CaChain loadSystemRootCAs() {
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (!store) fatalError(86);
  CertStoreCloser closer(store);
  std::vector<std::vector<unsigned char>> certificates;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    if (certificate->dwCertEncodingType != X509_ASN_ENCODING) continue;
    const BYTE* bytes = certificate->pbCertEncoded;
    certificates.emplace_back(bytes, bytes + certificate->cbCertEncoded);
  }
  DWORD error = GetLastError();
  if (error != static_cast<DWORD>(CRYPT_E_NOT_FOUND) && error != ERROR_NO_MORE_FILES) fatalError(88);
  std::ostringstream line;
  line << "Loaded " << certificates.size() << " CAs\n";
  writeDebugLog(line.str());
  closer.closeCertStore();
  return parseRootCAs(certificates);
}
