#pragma once

#include <string>

// The local machine's "Root" certificate store as the registry holds it. Wine's
// "ROOT" system store takes additions only in memory; this key is what every
// later CertOpenSystemStoreW and the chain engine read. der is one encoded
// certificate; both throw std::runtime_error, removing also when it is absent.
void addMachineRoot(const std::string& der);
void removeMachineRoot(const std::string& der);

// A certificate trusted as a machine root while the object lives. Wine's chain
// engine reads the root store once per process, at its first verification, so
// a program that is to trust it must start after this is made.
class MachineRootCertificate {
 public:
  explicit MachineRootCertificate(std::string der);  // throws std::runtime_error
  ~MachineRootCertificate();                         // one left behind fails the test
  MachineRootCertificate(const MachineRootCertificate&) = delete;
  MachineRootCertificate& operator=(const MachineRootCertificate&) = delete;

 private:
  std::string der_;
};
