#include "probe/PingerDNS.h"

#include <utility>

PingerDNS::PingerDNS(NameResolver resolver) : resolver_(std::move(resolver)) {
  latch_.init();
  thread_ = std::thread(&PingerDNS::threadMain, this);
  latch_.wait();
}

PingerDNS::~PingerDNS() {
  loop_->post([this] { onLoopStopped(); });
  thread_.join();
  latch_.destroy();
}

void PingerDNS::threadMain() {
  loop_ = new EventLoop;
  loop_->acquire();
  latch_.set();
  loop_->runToEnd();
}

void PingerDNS::resolve(std::string host, std::shared_ptr<PingDnsSink> sink) {
  loop_->post([this, host = std::move(host), sink = std::move(sink)]() mutable {
    startResolve(std::move(host), std::move(sink));
  });
}

void PingerDNS::startResolve(std::string host, std::shared_ptr<PingDnsSink> sink) {
  // The lookup's done is never called from its constructor, so its place in
  // the list is known before it can be erased.
  auto position = pending_.insert(pending_.end(), nullptr);
  *position = std::make_unique<NameLookup>(
      *loop_, resolver_, std::move(host), [this, position, sink = std::move(sink)](uint32_t address) {
        // The lookup holds nothing once done runs; the sink is this call's own.
        pending_.erase(position);
        if (address != 0)
          sink->resolved(address);
        else
          sink->unresolved();
      });
}

void PingerDNS::onLoopStopped() {
  pending_.clear();
  loop_->release();
}
