// parseUrl and the request text built from what it accepts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/NumberError.h"
#include "fuzz/FuzzCheck.h"
#include "service/Url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  UrlParts parts;
  try {
    parts = parseUrl(url);
  } catch (const NumberError& error) {
    FUZZ_CHECK(error.code() >= 30 && error.code() <= 33);
    return 0;
  }
  const std::string scheme = parts.https ? "https://" : "http://";
  FUZZ_CHECK(url.compare(0, scheme.size(), scheme) == 0);
  FUZZ_CHECK(url.compare(scheme.size(), parts.host.size(), parts.host) == 0);
  FUZZ_CHECK(!parts.path.empty() && parts.path[0] == '/');
  FUZZ_CHECK(url.size() >= parts.path.size() && url.compare(url.size() - parts.path.size(), std::string::npos, parts.path) == 0);
  // Between host and path only ":digits", whose value modulo 65536 is the port.
  const size_t portStart = scheme.size() + parts.host.size();
  const std::string between = url.substr(portStart, url.size() - parts.path.size() - portStart);
  if (between.empty()) {
    FUZZ_CHECK(parts.port == (parts.https ? 443 : 80));
  } else {
    FUZZ_CHECK(between[0] == ':' && between.size() > 1);
    uint32_t value = 0;
    for (size_t i = 1; i < between.size(); ++i) {
      FUZZ_CHECK(between[i] >= '0' && between[i] <= '9');
      value = (value * 10 + uint32_t(between[i] - '0')) % 65536;
    }
    FUZZ_CHECK(parts.port == value);
  }

  // The request has exactly its own five line ends.
  const std::string request = buildGetRequest(parts);
  size_t lineEnds = 0;
  for (size_t at = request.find('\n'); at != std::string::npos; at = request.find('\n', at + 1)) ++lineEnds;
  FUZZ_CHECK(lineEnds == 5);
  FUZZ_CHECK(request.find('\r') != std::string::npos && request.compare(0, 4, "GET ") == 0);
  return 0;
}
