#pragma once

#include <string>

// Manifest bodies as the service publishes them, signed at test time with
// tests/keys/service-test-private.pem.
std::string base64Encode(const std::string& bytes);
std::string signSha512(const std::string& document);
// base64(document) LF base64(signature)
std::string signedManifest(const std::string& document);
