#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/MachineRootCertificate.h"

#include <gtest/gtest.h>

#include <stdexcept>

TrustedTestCa::TrustedTestCa(const HttpScenarios& server) : der_(readFileBytes(server.file("ca.der"))) {
  addMachineRoot(der_);
}

TrustedTestCa::~TrustedTestCa() {
  try {
    removeMachineRoot(der_);
  } catch (const std::runtime_error&) {
    ADD_FAILURE_AT(__FILE__, __LINE__) << "the test CA stays in the ROOT store";
  }
}
