#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/RandomGenerator.h"
#include "service/HttpListener.h"
#include "service/HttpThread.h"
#include "service/Url.h"

class HttpThread;

// The HTTP(S) scenario server (http_scenario_server.py) that the test runs
// under: its listeners, the raw bytes of the latest request, its test CA.
class HttpScenarios {
 public:
  // Reads the server's ports; throws when the test runs without the server.
  HttpScenarios();

  uint16_t port(const std::string& listener) const;
  // "http://127.0.0.1:PORT/path", or "https://localhost:PORT/path" (the name
  // the certificates carry).
  std::string url(const std::string& listener, const std::string& path, bool https = false) const;
  std::string lastRequest() const;  // empty before the first request
  // A host path the program can open.
  std::string file(const std::string& name) const;

 private:
  std::string folder_;
  std::map<std::string, uint16_t> ports_;
};

// The server's /blob body: byte i is (i * 7 + i / 251) & 0xff.
std::string blobBytes(size_t size);

// Makes the server's test CA a trusted root while the object lives: added to
// the Windows "ROOT" store (removed again afterwards), natively the root
// certificate file of the HTTPS client.
class TrustedTestCa {
 public:
  explicit TrustedTestCa(const HttpScenarios& server);
  ~TrustedTestCa();
  TrustedTestCa(const TrustedTestCa&) = delete;
  TrustedTestCa& operator=(const TrustedTestCa&) = delete;

 private:
  std::string der_;  // the certificate added to the store
};

// Records what an HttpThread reports, with the reporting thread.
struct HttpReport {
  enum Kind { progress, error, complete } kind;
  uint32_t done = 0;
  uint32_t total = 0;
  std::string body;
  std::thread::id thread;
};

class RecordingHttpListener : public HttpListener {
 public:
  void onError() override { add({HttpReport::error, 0, 0, {}, std::this_thread::get_id()}); }
  void onComplete(std::string body) override {
    add({HttpReport::complete, 0, 0, std::move(body), std::this_thread::get_id()});
  }
  void onProgress(uint32_t done, uint32_t total) override {
    add({HttpReport::progress, done, total, {}, std::this_thread::get_id()});
  }

  // Until the terminal report (true) or the time-out (false).
  bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return ended_; });
  }
  // Until a progress report with at least done bytes.
  bool waitForProgress(uint32_t done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this, done] {
      for (const auto& report : reports_)
        if (report.kind == HttpReport::progress && report.done >= done) return true;
      return false;
    });
  }
  std::vector<HttpReport> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  void add(HttpReport report) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (report.kind != HttpReport::progress) ended_ = true;
    reports_.push_back(std::move(report));
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HttpReport> reports_;
  bool ended_ = false;
};

// Destroys a running request and checks that the cancel reported nothing and
// returned once the request thread had ended (a hang fails the bound).
void expectQuietPromptCancel(std::unique_ptr<HttpThread>& request, RecordingHttpListener& listener);

// A download test's parts: the generator, the scenario server, a recording
// listener and a way to start a request at a URL.
class HttpClientTest : public testing::Test {
 protected:
  std::shared_ptr<RandomGenerator> rng = std::make_shared<RandomGenerator>();
  HttpScenarios server;
  std::shared_ptr<RecordingHttpListener> listener = std::make_shared<RecordingHttpListener>();

  std::unique_ptr<HttpThread> start(const std::string& url) {
    return std::make_unique<HttpThread>(rng, listener, std::make_shared<UrlParts>(parseUrl(url)));
  }
};
