#pragma once

#include <string>

// Whether installer, a program's bytes, carries an Authenticode signature
// that verifies to a trusted root (WinVerifyTrust on a copy in an admin-only
// folder, without any user interface). The result is logged.
bool installerSignatureVerifies(const std::string& installer);
