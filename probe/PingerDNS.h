#pragma once

#include <uv.h>

#include <list>
#include <memory>
#include <string>
#include <thread>

#include "core/EventLoop.h"
#include "probe/PingSinks.h"

class PingerDNS;

// One name lookup on the DNS thread; dropping it while libuv still runs the
// request cancels the request and detaches it (its callback then only frees it).
class DnsLookup {
 public:
  DnsLookup(PingerDNS& owner, std::shared_ptr<PingDnsSink> sink);
  ~DnsLookup();
  DnsLookup(const DnsLookup&) = delete;
  DnsLookup& operator=(const DnsLookup&) = delete;

 private:
  friend class PingerDNS;
  PingerDNS& owner_;
  std::list<std::shared_ptr<DnsLookup>>::iterator position_;
  uv_getaddrinfo_t* request_ = nullptr;  // until the lookup has finished
  std::shared_ptr<PingDnsSink> sink_;
};

// Resolves host names to one IPv4 address on a libuv loop of its own thread.
// Each resolve reports once to its sink, on that thread, unless the PingerDNS
// is destroyed first.
class PingerDNS {
 public:
  PingerDNS();  // returns once the thread's loop runs
  ~PingerDNS();  // drops every pending lookup without a report, joins the thread
  PingerDNS(const PingerDNS&) = delete;
  PingerDNS& operator=(const PingerDNS&) = delete;

  // Any thread.
  void resolve(std::string host, std::shared_ptr<PingDnsSink> sink);

 private:
  friend class DnsLookup;
  void threadMain();
  void startResolve(const std::string& host, std::shared_ptr<PingDnsSink> sink);
  void onLoopStopped();
  static void onResolveDone(uv_getaddrinfo_t* request, int status, struct addrinfo* result);
  void handleResult(DnsLookup& lookup, int status, struct addrinfo* result);

  StartLatch latch_;
  std::thread thread_;
  EventLoop* loop_ = nullptr;
  std::list<std::shared_ptr<DnsLookup>> pending_;  // in order of start
};
