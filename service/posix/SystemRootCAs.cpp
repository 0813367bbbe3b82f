#include <mbedtls/pem.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "core/DebugLog.h"
#include "service/TlsStream.h"
#include "service/posix/RootCaFile.h"

namespace {

std::mutex pathMutex;
std::string rootCaPath = "/etc/ssl/certs/ca-certificates.crt";

std::string currentPath() {
  std::lock_guard<std::mutex> lock(pathMutex);
  return rootCaPath;
}

// The DER bytes of every "CERTIFICATE" block of a PEM file, in file order.
std::vector<std::vector<unsigned char>> readPemCertificates(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  std::vector<std::vector<unsigned char>> certificates;
  size_t at = 0;
  while ((at = text.find(begin, at)) != std::string::npos) {
    size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    std::string block = text.substr(at, stop + end.size() - at);
    at = stop + end.size();
    mbedtls_pem_context pem;
    mbedtls_pem_init(&pem);
    size_t used = 0;
    if (mbedtls_pem_read_buffer(&pem, begin.c_str(), end.c_str(),
                                reinterpret_cast<const unsigned char*>(block.c_str()), nullptr, 0, &used) == 0) {
      certificates.emplace_back(pem.buf, pem.buf + pem.buflen);
    } else {
      certificates.emplace_back();  // counted, then refused by the parser like a bad store entry
    }
    mbedtls_pem_free(&pem);
  }
  return certificates;
}

}  // namespace

void setRootCaFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(pathMutex);
  rootCaPath = path;
}

CaChain loadSystemRootCAs() {
  std::vector<std::vector<unsigned char>> certificates = readPemCertificates(currentPath());
  std::ostringstream line;
  line << "Loaded " << certificates.size() << " CAs\n";
  writeDebugLog(line.str());
  return parseRootCAs(certificates);
}
