#include "probe/Pinger.h"

#include <atomic>
#include <thread>

#include "core/EventLoop.h"
#include "probe/PingerDNS.h"

namespace {

// Which Pinger's report or sink release this thread is inside: a Pinger
// destroyed there cannot join the thread it runs on.
thread_local const void* reportingFor = nullptr;

class ReportScope {
 public:
  explicit ReportScope(const void* pinger) : previous_(reportingFor) { reportingFor = pinger; }
  ~ReportScope() { reportingFor = previous_; }
  ReportScope(const ReportScope&) = delete;
  ReportScope& operator=(const ReportScope&) = delete;

 private:
  const void* previous_;
};

}  // namespace

struct Pinger::Worker {
  Worker(EchoFactory factory, NameResolver resolver) : makeEcho(std::move(factory)), resolve(std::move(resolver)) {
    latch.init();
  }
  ~Worker() { latch.destroy(); }
  void threadMain();
  void onLoopStopped();

  EchoFactory makeEcho;
  NameResolver resolve;
  StartLatch latch;
  std::thread thread;
  EventLoop* loop = nullptr;
  std::unique_ptr<PingerDNS> dns;
  std::unique_ptr<PingEcho> echo;
  std::atomic<bool> stopped{false};
  bool deletesItself = false;  // set before the stop task is posted
};

// The sinks a Pinger hands to its DNS thread and its echo for one ping. It
// holds the Pinger's worker without owning it: the DNS and echo threads are
// joined before the worker's loop ends. The caller's sinks are called and
// released only inside a ReportScope.
class PingRequest : public PingDnsSink, public PingResultSink, public std::enable_shared_from_this<PingRequest> {
 public:
  PingRequest(Pinger::Worker* worker, std::shared_ptr<PingResultSink> results, std::shared_ptr<PingDnsSink> dns)
      : worker_(worker), results_(std::move(results)), dns_(std::move(dns)) {}
  ~PingRequest() override {
    ReportScope scope(worker_);
    results_.reset();
    dns_.reset();
  }

  // DNS thread.
  void resolved(uint32_t address) override {
    if (worker_->stopped) return;
    auto self = shared_from_this();
    worker_->loop->post([self, address] { self->onResolved(address); });
  }
  void unresolved() override {
    if (worker_->stopped) return;
    {
      ReportScope scope(worker_);
      dns_->unresolved();
    }
    failed();
  }

  // Echo thread, or the DNS thread after unresolved.
  void failed() override {
    if (worker_->stopped) return;
    ReportScope scope(worker_);
    results_->failed();
  }
  void replied(uint32_t latencyMs) override {
    if (worker_->stopped) return;
    ReportScope scope(worker_);
    results_->replied(latencyMs);
  }

 private:
  // Worker.
  void onResolved(uint32_t address) {
    if (worker_->stopped) return;
    {
      ReportScope scope(worker_);
      dns_->resolved(address);
    }
    if (worker_->stopped) return;
    worker_->echo->pingAsync(address, shared_from_this());
  }

  Pinger::Worker* worker_;
  std::shared_ptr<PingResultSink> results_;
  std::shared_ptr<PingDnsSink> dns_;
};

Pinger::Pinger(EchoFactory makeEcho, NameResolver resolver)
    : worker_(new Worker(std::move(makeEcho), std::move(resolver))) {
  worker_->thread = std::thread(&Worker::threadMain, worker_);
  worker_->latch.wait();
}

Pinger::~Pinger() {
  Worker* worker = worker_;
  worker->stopped = true;
  const bool onOwnThread = reportingFor == worker;
  if (onOwnThread) {
    worker->thread.detach();
    worker->deletesItself = true;
  }
  worker->loop->post([worker] { worker->onLoopStopped(); });
  if (onOwnThread) return;
  worker->thread.join();
  delete worker;
}

void Pinger::ping(std::string host, std::shared_ptr<PingResultSink> results, std::shared_ptr<PingDnsSink> dns) {
  Worker* worker = worker_;
  auto request = std::make_shared<PingRequest>(worker, std::move(results), std::move(dns));
  worker->loop->post([worker, host = std::move(host), request]() mutable {
    if (!worker->stopped) worker->dns->resolve(std::move(host), std::move(request));
  });
}

void Pinger::Worker::threadMain() {
  loop = new EventLoop;
  dns = std::make_unique<PingerDNS>(std::move(resolve));
  echo = makeEcho();
  makeEcho = nullptr;
  loop->acquire();
  latch.set();
  loop->runToEnd();
  if (deletesItself) delete this;
}

void Pinger::Worker::onLoopStopped() {
  echo.reset();
  dns.reset();
  loop->release();
}
