#include "probe/PingerDNS.h"

#include <cstring>

DnsLookup::DnsLookup(PingerDNS& owner, std::shared_ptr<PingDnsSink> sink) : owner_(owner), sink_(std::move(sink)) {}

DnsLookup::~DnsLookup() {
  if (request_) {
    request_->data = nullptr;
    uv_cancel(reinterpret_cast<uv_req_t*>(request_));
  }
}

PingerDNS::PingerDNS() {
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
  loop_->post([this, host = std::move(host), sink = std::move(sink)]() mutable { startResolve(host, std::move(sink)); });
}

void PingerDNS::startResolve(const std::string& host, std::shared_ptr<PingDnsSink> sink) {
  auto lookup = std::make_shared<DnsLookup>(*this, std::move(sink));
  auto* request = new uv_getaddrinfo_t;
  request->data = lookup.get();
  if (uv_getaddrinfo(loop_->loop(), request, &PingerDNS::onResolveDone, host.c_str(), nullptr, nullptr) != 0) {
    // Nothing is pending, so the lookup is not kept.
    delete request;
    lookup->sink_->unresolved();
    return;
  }
  lookup->request_ = request;
  lookup->position_ = pending_.insert(pending_.end(), lookup);
}

void PingerDNS::onResolveDone(uv_getaddrinfo_t* request, int status, struct addrinfo* result) {
  auto* lookup = static_cast<DnsLookup*>(request->data);
  if (!lookup) {
    uv_freeaddrinfo(result);
    delete request;
    return;
  }
  lookup->owner_.handleResult(*lookup, status, result);
}

void PingerDNS::handleResult(DnsLookup& lookup, int status, struct addrinfo* result) {
  uint32_t address = 0;
  if (status == 0) {
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
      sockaddr_in in;
      std::memcpy(&in, entry->ai_addr, sizeof in);
      address = ntohl(in.sin_addr.s_addr);
      break;
    }
  }
  uv_freeaddrinfo(result);
  delete lookup.request_;
  lookup.request_ = nullptr;
  // Held across the report: the sink may be the last holder of anything.
  std::shared_ptr<DnsLookup> keep = *lookup.position_;
  pending_.erase(lookup.position_);
  if (address != 0)
    keep->sink_->resolved(address);
  else
    keep->sink_->unresolved();
}

void PingerDNS::onLoopStopped() {
  pending_.clear();
  loop_->release();
}
