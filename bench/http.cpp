// Downloads one body of N MiB (default 64) from the local scenario server with
// HttpThread, plain, gzip and over TLS, and the same URLs in the same process
// with libcurl writing into a growing memory buffer (inflating gzip itself):
// the same work, the anchor of each ratio. The curl program writing to a file
// in /dev/shm (whose pages the kernel gives without the process touching
// fresh memory) is a second, labelled line. The three run interleaved, P
// times (default 7), and the medians are shown with the most one HttpThread
// download added to the process's memory at its peak; then the host's cost
// of touching fresh memory, the rate at which mbedTLS alone decrypts the
// cipher the TLS downloads negotiated (the ceiling of any mbedTLS client), and
// the time of a tiny request over TLS (mostly the handshake).
// Usage: http_bench [N] [P]
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <algorithm>
#include <fstream>

#include <curl/curl.h>
#include <mbedtls/chachapoly.h>
#include <mbedtls/gcm.h>

#include "bench/FirstTouch.h"
#include "core/RandomGenerator.h"
#include "service/HttpThread.h"
#include "tests/support/HttpScenarios.h"

namespace {

// A line of /proc/self/status in KiB ("VmHWM" the peak, "VmRSS" now). Not
// getrusage: its maximum carries over from the parent across fork and exec,
// here the Python server's.
long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  return 0;
}
long peakKiB() { return statusKiB("VmHWM"); }
// Starts the peak afresh (Linux's clear_refs), so that the libcurl runs of the
// same process do not count in HttpThread's figure.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Keeps only what the figures need: a recorded progress report per piece would
// weigh on the download being measured.
class OutcomeListener : public HttpListener {
 public:
  void onError() override { end(false); }
  void onComplete(std::string body) override {
    received_ = body.size();
    end(true);
  }
  void onProgress(uint32_t, uint32_t) override {}
  bool wait(size_t expected) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::minutes(5), [this] { return ended_; })) return false;
    return ok_ && received_ == expected;
  }

 private:
  void end(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    ok_ = ok;
    ended_ = true;
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
  bool ok_ = false;
  size_t received_ = 0;
};

// The most one of HttpThread's own downloads added to the process, in KiB:
// its peak over what the process held as it began (memory the allocator keeps
// from the libcurl runs does not count).
long ownGrowthKiB = 0;

double ownSeconds(const std::shared_ptr<RandomGenerator>& rng, const std::string& url, size_t expected) {
  resetPeak();
  const long before = statusKiB("VmRSS");
  auto listener = std::make_shared<OutcomeListener>();
  auto started = std::chrono::steady_clock::now();
  auto request = std::make_unique<HttpThread>(rng, listener, std::make_shared<UrlParts>(parseUrl(url)));
  bool ok = listener->wait(expected);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ownGrowthKiB = std::max(ownGrowthKiB, peakKiB() - before);
  return ok ? seconds : -1;
}

size_t appendToBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// libcurl into a body that grows as the bytes come, like HttpThread's when no
// length is known; a fresh handle and connection each time, as HttpThread has.
double libcurlSeconds(const std::string& url, bool gzip, const std::string& caFile, size_t expected) {
  CURL* curl = curl_easy_init();
  if (!curl) return -1;
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendToBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (gzip) curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  auto started = std::chrono::steady_clock::now();
  CURLcode result = curl_easy_perform(curl);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  curl_easy_cleanup(curl);
  return result == CURLE_OK && body.size() == expected ? seconds : -1;
}

double curlSeconds(const std::string& options, const std::string& url, size_t expected) {
  std::string command = "curl -s -o /dev/shm/zav-http-bench-curl -w '%{time_total} %{size_download}' " + options + " '" + url + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  double seconds = -1;
  double size = 0;
  int fields = std::fscanf(pipe, "%lf %lf", &seconds, &size);
  pclose(pipe);
  // size_download counts the bytes on the wire: compressed for gzip.
  if (fields != 2 || size <= 0 || (options.find("--compressed") == std::string::npos && size != expected)) return -1;
  return seconds;
}

// MB/s at which one core decrypts and authenticates TLS records of 16 KiB with
// the negotiated cipher (OpenSSL's name, as the server saw it); -1 for a
// cipher this does not know.
double cipherRate(const std::string& name) {
  const bool gcm256 = name.find("AES256-GCM") != std::string::npos || name.find("AES_256_GCM") != std::string::npos;
  const bool gcm128 = name.find("AES128-GCM") != std::string::npos || name.find("AES_128_GCM") != std::string::npos;
  const bool chacha = name.find("CHACHA20") != std::string::npos;
  if (!gcm256 && !gcm128 && !chacha) return -1;
  const size_t record = 16 << 10;
  const int records = 8192;  // 128 MiB
  std::vector<unsigned char> key(32, 0x5a), iv(12, 0x17), plain(record, 0x33), sealed(record), opened(record);
  unsigned char tag[16];
  auto started = std::chrono::steady_clock::now();
  bool ok = true;
  if (chacha) {
    mbedtls_chachapoly_context context;
    mbedtls_chachapoly_init(&context);
    mbedtls_chachapoly_setkey(&context, key.data());
    mbedtls_chachapoly_encrypt_and_tag(&context, record, iv.data(), nullptr, 0, plain.data(), sealed.data(), tag);
    started = std::chrono::steady_clock::now();
    for (int i = 0; i < records && ok; ++i)
      ok = mbedtls_chachapoly_auth_decrypt(&context, record, iv.data(), nullptr, 0, tag, sealed.data(), opened.data()) == 0;
    mbedtls_chachapoly_free(&context);
  } else {
    mbedtls_gcm_context context;
    mbedtls_gcm_init(&context);
    mbedtls_gcm_setkey(&context, MBEDTLS_CIPHER_ID_AES, key.data(), gcm256 ? 256 : 128);
    mbedtls_gcm_crypt_and_tag(&context, MBEDTLS_GCM_ENCRYPT, record, iv.data(), iv.size(), nullptr, 0, plain.data(),
                              sealed.data(), sizeof tag, tag);
    started = std::chrono::steady_clock::now();
    for (int i = 0; i < records && ok; ++i)
      ok = mbedtls_gcm_auth_decrypt(&context, record, iv.data(), iv.size(), nullptr, 0, tag, sizeof tag, sealed.data(),
                                    opened.data()) == 0;
    mbedtls_gcm_free(&context);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return ok && seconds > 0 ? double(record) * records / seconds / 1e6 : -1;
}

// The median of the runs, or -1 when one failed.
double median(std::vector<double> runs) {
  if (runs.empty() || *std::min_element(runs.begin(), runs.end()) <= 0) return -1;
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("ZAV_HTTP_SCENARIOS")) {
    std::vector<char*> args{const_cast<char*>("/usr/bin/python3"),
                            const_cast<char*>(ZAV_TEST_SUPPORT_DIR "/http_scenario_server.py"),
                            const_cast<char*>("--exec")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror("python3");
    return 1;
  }
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  size_t size = mib << 20;
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 7;
  HttpScenarios server;
  TrustedTestCa trusted(server);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  auto rng = std::make_shared<RandomGenerator>();
  std::string query = "/blob?size=" + std::to_string(size);
  const std::string caFile = server.file("ca.pem");
  struct Mode {
    const char* name;
    std::string url;
    bool gzip;
    std::string caFile;
    std::string curlOptions;
  } modes[] = {
      {"plain", server.url("plain", query), false, "", ""},
      {"gzip", server.url("plain", query + "&gzip"), true, "", "--compressed"},
      {"tls", server.url("tls", query, true), false, caFile, "--cacert '" + caFile + "'"},
  };
  // The server builds each body once; a warm-up keeps that out of the figures.
  for (const Mode& mode : modes) curlSeconds(mode.curlOptions, mode.url, size);
  std::printf("%zu MiB body, decoded MB/s (1 MB = 10^6 bytes), medians of %d interleaved runs\n", mib, pairs);
  std::vector<std::string> ratios;
  double tlsRate = -1;
  std::printf("%-6s %12s %16s %8s %14s\n", "mode", "HttpThread", "libcurl memory", "ratio", "peak growth MiB");
  for (const Mode& mode : modes) {
    ownGrowthKiB = 0;
    std::vector<double> owns, libcurls, curls;
    for (int i = 0; i < pairs; ++i) {
      owns.push_back(ownSeconds(rng, mode.url, size));
      libcurls.push_back(libcurlSeconds(mode.url, mode.gzip, mode.caFile, size));
      curls.push_back(curlSeconds(mode.curlOptions, mode.url, size));
    }
    double own = median(owns);
    double libcurl = median(libcurls);
    double curl = median(curls);
    if (own <= 0 || libcurl <= 0 || curl <= 0) {
      std::printf("%-6s failed (HttpThread %.3f s, libcurl %.3f s, curl %.3f s)\n", mode.name, own, libcurl, curl);
      continue;
    }
    double ownRate = size / own / 1e6;
    double libcurlRate = size / libcurl / 1e6;
    double curlRate = size / curl / 1e6;
    std::printf("%-6s %12.1f %16.1f %8.2f %14.1f\n", mode.name, ownRate, libcurlRate, ownRate / libcurlRate,
                ownGrowthKiB / 1024.0);
    std::printf("%-6s %12s %16.1f %8.2f   (curl program into /dev/shm: no fresh memory touched)\n", "", "",
                curlRate, ownRate / curlRate);
    ratios.push_back(std::string("ratio http_") + mode.name + " " + std::to_string(ownRate / libcurlRate));
    ratios.push_back(std::string("ratio http_") + mode.name + "_vs_curl_file " + std::to_string(ownRate / curlRate));
    if (std::string(mode.name) == "plain" && ownGrowthKiB > 0)
      ratios.push_back("ratio http_body_over_peak_growth " + std::to_string(mib * 1024.0 / ownGrowthKiB));
    if (std::string(mode.name) == "tls") tlsRate = ownRate;
  }
  bench::printFirstTouch();
  {
    // curl may negotiate another cipher: the server notes the one of the
    // last connection, so the client makes that one.
    ownSeconds(rng, server.url("tls", "/blob?size=16", true), 16);
    std::ifstream noted(server.file("last-cipher"));
    std::string cipher;
    std::getline(noted, cipher);
    const double ceiling = cipherRate(cipher);
    if (ceiling > 0) {
      std::printf("cipher %s: mbedTLS alone decrypts %.1f MB/s on one core\n", cipher.c_str(), ceiling);
      if (tlsRate > 0) ratios.push_back("ratio http_tls_vs_cipher " + std::to_string(tlsRate / ceiling));
    } else {
      std::printf("cipher \"%s\": no ceiling measured for it\n", cipher.c_str());
    }
  }
  {
    const std::string url = server.url("tls", "/blob?size=16", true);
    const std::string options = "--cacert '" + server.file("ca.pem") + "'";
    std::vector<double> owns, curls;
    for (int i = 0; i < 15; ++i) {
      owns.push_back(ownSeconds(rng, url, 16));
      curls.push_back(curlSeconds(options, url, 16));
    }
    double own = median(owns);
    double curl = median(curls);
    std::printf("tiny TLS request (handshake): HttpThread %.1f ms, curl %.1f ms\n", own * 1000, curl * 1000);
    if (own > 0 && curl > 0) ratios.push_back("ratio http_tls_handshake " + std::to_string(curl / own));
  }
  std::remove("/dev/shm/zav-http-bench-curl");
  curl_global_cleanup();
  for (const std::string& line : ratios) std::printf("%s\n", line.c_str());
  return 0;
}
