#pragma once

#include <string>

// The client's built-in endpoints and service key, from the build inputs.
const std::string& backendHost();          // DNS name, no scheme or port
int channelPort();                          // backend channel, TCP
const std::string& downloadBaseUrl();      // http://host[:port], no trailing slash
const std::string& runtimeInstallerUrl();  // http URL of the .NET Framework installer
const std::string& updateKeyPem();         // the service's RSA-2048 public key, PEM
