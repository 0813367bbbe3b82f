#include "tests/support/win/MachineRootCertificate.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace {

// The registry store is made if a fresh prefix has none yet; a change shows
// once it is closed.
template <class Fn>
void withMachineRoot(Fn fn) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) throw std::runtime_error("cannot open the machine's root certificate store");
  bool ok = fn(store);
  CertCloseStore(store, 0);
  if (!ok) throw std::runtime_error("cannot change the machine's root certificates");
}

const BYTE* bytes(const std::string& der) { return reinterpret_cast<const BYTE*>(der.data()); }
DWORD size(const std::string& der) { return static_cast<DWORD>(der.size()); }

}  // namespace

void addMachineRoot(const std::string& der) {
  withMachineRoot([&der](HCERTSTORE store) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes(der), size(der),
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
  });
}

void removeMachineRoot(const std::string& der) {
  withMachineRoot([&der](HCERTSTORE store) {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, bytes(der), size(der));
    if (!wanted) return false;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
    CertFreeCertificateContext(wanted);
    // Deleting frees the found context as well.
    return found && CertDeleteCertificateFromStore(found) != FALSE;
  });
}

MachineRootCertificate::MachineRootCertificate(std::string der) : der_(std::move(der)) { addMachineRoot(der_); }

MachineRootCertificate::~MachineRootCertificate() {
  try {
    removeMachineRoot(der_);
  } catch (const std::runtime_error&) {
    ADD_FAILURE_AT(__FILE__, __LINE__) << "a test certificate stays in the machine's root store";
  }
}
