#pragma once

#include <cstdint>
#include <string>

// A parsed http:// or https:// URL; read-only once built.
struct UrlParts {
  std::string host;  // exactly as written in the URL
  std::string path;  // from the first "/" after host and port, query included
  uint16_t port = 0;
  bool https = false;
};

// Throws NumberError 30 (scheme), 31 (no ":" or "/" after the host, or a
// control character or blank in the host), 32 (":" without digits), 33 (no
// "/" where the path begins, or a control character or blank in the path).
UrlParts parseUrl(const std::string& url);

// The GET request text: request line, "Connection: close", "Host" (never with
// the port) and "Accept-encoding: gzip, deflate".
std::string buildGetRequest(const UrlParts& url);
