// Downloads one body of N MiB (default 64) from the local scenario server with
// HttpThread, plain, gzip and over TLS, and the same URLs with curl (writing to
// a memory-backed folder) in the same run, as the medians of P interleaved
// pairs (default 7); prints MB/s of both, their ratio and the peak memory of
// this process, then the time of a tiny request over TLS (mostly the handshake).
// Usage: http_bench [N] [P]
#include <sys/resource.h>
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

#include "core/RandomGenerator.h"
#include "service/HttpThread.h"
#include "tests/support/HttpScenarios.h"

namespace {

long peakKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

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

double ownSeconds(const std::shared_ptr<RandomGenerator>& rng, const std::string& url, size_t expected) {
  auto listener = std::make_shared<OutcomeListener>();
  auto started = std::chrono::steady_clock::now();
  auto request = std::make_unique<HttpThread>(rng, listener, std::make_shared<UrlParts>(parseUrl(url)));
  bool ok = listener->wait(expected);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return ok ? seconds : -1;
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
  auto rng = std::make_shared<RandomGenerator>();
  std::string query = "/blob?size=" + std::to_string(size);
  struct Mode {
    const char* name;
    std::string url;
    std::string curlOptions;
  } modes[] = {
      {"plain", server.url("plain", query), ""},
      {"gzip", server.url("plain", query + "&gzip"), "--compressed"},
      {"tls", server.url("tls", query, true), "--cacert '" + server.file("ca.pem") + "'"},
  };
  // The server builds each body once; a warm-up keeps that out of the figures.
  for (const Mode& mode : modes) curlSeconds(mode.curlOptions, mode.url, size);
  std::printf("%zu MiB body, decoded MB/s (1 MB = 10^6 bytes)\n", mib);
  std::vector<std::string> ratios;
  std::printf("%-6s %12s %12s %8s %14s\n", "mode", "HttpThread", "curl", "ratio", "peak RSS MiB");
  for (const Mode& mode : modes) {
    std::vector<double> owns, curls;
    for (int i = 0; i < pairs; ++i) {
      owns.push_back(ownSeconds(rng, mode.url, size));
      curls.push_back(curlSeconds(mode.curlOptions, mode.url, size));
    }
    double own = median(owns);
    double curl = median(curls);
    if (own <= 0 || curl <= 0) {
      std::printf("%-6s failed (HttpThread %.3f s, curl %.3f s)\n", mode.name, own, curl);
      continue;
    }
    double ownRate = size / own / 1e6;
    double curlRate = size / curl / 1e6;
    std::printf("%-6s %12.1f %12.1f %8.2f %14.1f\n", mode.name, ownRate, curlRate, ownRate / curlRate,
                peakKiB() / 1024.0);
    ratios.push_back(std::string("ratio http_") + mode.name + " " + std::to_string(ownRate / curlRate));
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
  for (const std::string& line : ratios) std::printf("%s\n", line.c_str());
  return 0;
}
