#include <windows.h>
#include <wincrypt.h>

#include <stdexcept>

#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"

// The store persists in the Wine prefix, so the certificate is deleted again
// by its context.
TrustedTestCa::TrustedTestCa(const HttpScenarios& server) {
  std::string der = readFileBytes(server.file("ca.der"));
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (!store) throw std::runtime_error("cannot open the ROOT store");
  PCCERT_CONTEXT added = nullptr;
  BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added);
  CertCloseStore(store, 0);
  if (!ok) throw std::runtime_error("cannot add the test CA to the ROOT store");
  added_ = added;
}

TrustedTestCa::~TrustedTestCa() {
  // Deleting frees the context as well.
  CertDeleteCertificateFromStore(static_cast<PCCERT_CONTEXT>(added_));
}
