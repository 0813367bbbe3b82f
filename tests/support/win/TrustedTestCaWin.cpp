#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"

// Wine's "ROOT" system store takes additions only in memory; its machine
// registry key is what every later CertOpenSystemStoreW reads, so the CA goes
// there (a change shows once the registry store is closed).
namespace {

template <class Fn>
void withMachineRootRegistry(Fn fn) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\SystemCertificates\\Root", 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    throw std::runtime_error("cannot open the machine's root certificate key");
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key);
  if (!store) {
    RegCloseKey(key);
    throw std::runtime_error("cannot open the machine's root certificate store");
  }
  bool ok = fn(store);
  CertCloseStore(store, 0);
  RegCloseKey(key);
  if (!ok) throw std::runtime_error("cannot change the machine's root certificates");
}

}  // namespace

TrustedTestCa::TrustedTestCa(const HttpScenarios& server) : der_(readFileBytes(server.file("ca.der"))) {
  withMachineRootRegistry([this](HCERTSTORE store) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                            static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                            nullptr) != FALSE;
  });
}

TrustedTestCa::~TrustedTestCa() {
  try {
    withMachineRootRegistry([this](HCERTSTORE store) {
      PCCERT_CONTEXT wanted = CertCreateCertificateContext(
          X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()), static_cast<DWORD>(der_.size()));
      if (!wanted) return false;
      PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
      CertFreeCertificateContext(wanted);
      // Deleting frees the found context as well.
      return found && CertDeleteCertificateFromStore(found) != FALSE;
    });
  } catch (const std::runtime_error&) {
    ADD_FAILURE_AT(__FILE__, __LINE__) << "the test CA stays in the ROOT store";
  }
}
