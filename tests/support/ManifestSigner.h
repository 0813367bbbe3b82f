#pragma once

#include <string>

// Manifest bodies as the service publishes them, signed at test time with
// tests/keys/service-test-private.pem.
std::string base64Encode(const std::string& bytes);
std::string signSha512(const std::string& document);
// base64(document) LF base64(signature)
std::string signedManifest(const std::string& document);
// The signed manifest of a client folder as it is, which the update check
// finds up to date: the client program's SHA-1 as "entryProgram", the
// updater's (or, without one, the client's) as "updaterProgram", no required
// or deleted files.
std::string upToDateManifest(const std::string& clientProgram, const std::string* updaterProgram);
