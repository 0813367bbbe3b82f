#include "bridge/win/InstallerSignature.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/DebugLogReader.h"
#include "tests/support/win/MachineRootCertificate.h"
#include "tests/support/win/TestFolder.h"

namespace {

std::string unsignedInstaller() { return builtFile("tests/ovpn_standin_installer.exe"); }

// Copies of the stand-in installer signed at build time (sign_program.sh).
std::string signedInstaller(const std::string& name) { return builtFile("tests/installer-signature/" + name); }

// The build's test CA a machine root for the whole run.
class TrustedCodeSigningCa : public testing::Environment {
 public:
  void SetUp() override { ca_ = std::make_unique<MachineRootCertificate>(signedInstaller("ca.der")); }
  void TearDown() override { ca_.reset(); }

 private:
  std::unique_ptr<MachineRootCertificate> ca_;
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
