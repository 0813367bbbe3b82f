#include "tests/support/HttpScenarios.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "service/HttpThread.h"
#include "tests/support/TestFiles.h"

#ifndef _WIN32
#include "service/posix/RootCaFile.h"
#endif

HttpScenarios::HttpScenarios() {
  const char* folder = std::getenv("ZAV_HTTP_SCENARIOS");
  if (!folder) throw std::runtime_error("run under tests/support/http_scenario_server.py --exec");
  folder_ = folder;
  std::istringstream lines(readFileBytes(file("ports")));
  std::string name;
  unsigned port = 0;
  while (lines >> name >> port) ports_[name] = static_cast<uint16_t>(port);
}

uint16_t HttpScenarios::port(const std::string& listener) const {
  auto found = ports_.find(listener);
  if (found == ports_.end()) throw std::runtime_error("no scenario listener " + listener);
  return found->second;
}

std::string HttpScenarios::url(const std::string& listener, const std::string& path, bool https) const {
  return std::string(https ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port(listener)) + path;
}

std::string HttpScenarios::lastRequest() const {
  try {
    return readFileBytes(file("last-request"));
  } catch (const std::runtime_error&) {
    return std::string();  // no request yet
  }
}

std::string HttpScenarios::file(const std::string& name) const { return hostPath(folder_ + "/" + name); }

std::string blobBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

void expectQuietPromptCancel(std::unique_ptr<HttpThread>& request, RecordingHttpListener& listener) {
  size_t before = listener.reports().size();
  auto started = std::chrono::steady_clock::now();
  request.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(listener.reports().size(), before);
  for (const auto& report : listener.reports()) EXPECT_EQ(report.kind, HttpReport::progress);
}

#ifndef _WIN32
TrustedTestCa::TrustedTestCa(const HttpScenarios& server) { setRootCaFile(server.file("ca.pem")); }

TrustedTestCa::~TrustedTestCa() { setRootCaFile("/etc/ssl/certs/ca-certificates.crt"); }
#endif
