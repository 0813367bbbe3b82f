#include "bridge/win/InstallerSignature.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/DebugLogReader.h"
#include "tests/support/win/TestFolder.h"

namespace {

std::string unsignedInstaller() { return builtFile("tests/ovpn_standin_installer.exe"); }

// Copies of the stand-in installer signed at build time (sign_program.sh).
std::string signedInstaller(const std::string& name) { return builtFile("tests/installer-signature/" + name); }

// The build's test CA in the machine's root store for the whole run: Wine's
// chain engine reads the root store once, at a process's first verification.
class TrustedCodeSigningCa : public testing::Environment {
 public:
  void SetUp() override {
    der_ = signedInstaller("ca.der");
    HCERTSTORE store = openRoot();
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes(), size(),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    if (!added) throw std::runtime_error("the test CA was not added to the root store");
  }
  void TearDown() override {
    HCERTSTORE store = openRoot();
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, bytes(), size());
    PCCERT_CONTEXT found =
        wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr) : nullptr;
    if (wanted) CertFreeCertificateContext(wanted);
    // Deleting frees the found context as well.
    if (!found || !CertDeleteCertificateFromStore(found)) ADD_FAILURE() << "the test CA stays in the root store";
    CertCloseStore(store, 0);
  }

 private:
  // The registry store behind the machine's roots, which the chain engine
  // reads; it is made if a fresh prefix has none yet.
  static HCERTSTORE openRoot() {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) throw std::runtime_error("cannot open the machine's root store");
    return store;
  }
  const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(der_.data()); }
  DWORD size() const { return static_cast<DWORD>(der_.size()); }

  std::string der_;
};

testing::Environment* const trustedCa = testing::AddGlobalTestEnvironment(new TrustedCodeSigningCa);

struct SignatureCase {
  const char* name;
  std::string (*installer)();
  bool verifies;
  // What the log says: WinVerifyTrust's result and, when the signer has one,
  // the trust errors of its chain.
  const char* result;
  const char* chain;
};

const SignatureCase signatureCases[] = {
    {"SignedByTrustedCa", [] { return signedInstaller("signed.exe"); }, true, "0x00000000", "0x00000000"},
    // In the middle of the code, far from the signature at the end.
    {"OneByteChanged",
     [] {
       std::string bytes = signedInstaller("signed.exe");
       bytes[bytes.size() / 2] ^= 1;
       return bytes;
     },
     false, "0x80096010", nullptr},
    {"Unsigned", unsignedInstaller, false, "0x800B0100", nullptr},
    // A download cut short: the signature at the end is gone.
    {"Truncated", [] { return signedInstaller("signed.exe").substr(0, 100000); }, false, "0x800B0100", nullptr},
    // Signed with the same key, but by certificates of a CA no root store
    // holds; Wine's WinVerifyTrust itself passes both.
    {"CaOutsideRootStore", [] { return signedInstaller("untrusted-root.exe"); }, false, "0x00000000", "0x00000020"},
    {"IssuerUnknown", [] { return signedInstaller("unknown-issuer.exe"); }, false, "0x00000000", "0x00010000"},
    {"Empty", [] { return std::string(); }, false, "0x800B0003", nullptr},
    {"NotAProgram", [] { return std::string("not a program\r\n"); }, false, "0x800B0003", nullptr},
};

class InstallerSignatureTable : public testing::TestWithParam<SignatureCase> {};

TEST_P(InstallerSignatureTable, VerifiesOnlyAnIntactProgramOfATrustedSigner) {
  const SignatureCase& c = GetParam();
  std::string installer = c.installer();
  CapturedDebugLog log;
  EXPECT_EQ(installerSignatureVerifies(installer), c.verifies);
  std::string text = log.text();
  EXPECT_NE(text.find(std::string("Installer signature: ") + c.result), std::string::npos) << text;
  if (c.chain) {
    EXPECT_NE(text.find(std::string("chain ") + c.chain), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Installers, InstallerSignatureTable, testing::ValuesIn(signatureCases),
                         [](const testing::TestParamInfo<SignatureCase>& info) { return info.param.name; });

}  // namespace
