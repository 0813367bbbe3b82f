#pragma once

#include <list>
#include <memory>
#include <string>
#include <thread>

#include "core/EventLoop.h"
#include "probe/PingSinks.h"
#include "service/NameLookup.h"

// Resolves host names to one IPv4 address, reporting on a loop of its own
// thread. The system resolver cannot be cancelled, so each lookup runs as a
// NameLookup that is dropped, not waited for, when the PingerDNS goes. Each
// resolve reports once to its sink, on that thread, unless the PingerDNS is
// destroyed first.
class PingerDNS {
 public:
  explicit PingerDNS(NameResolver resolver = resolveFirstIPv4);  // returns once the thread's loop runs
  ~PingerDNS();  // drops every pending lookup without a report, joins the thread
  PingerDNS(const PingerDNS&) = delete;
  PingerDNS& operator=(const PingerDNS&) = delete;

  // Any thread.
  void resolve(std::string host, std::shared_ptr<PingDnsSink> sink);

 private:
  void threadMain();
  void startResolve(std::string host, std::shared_ptr<PingDnsSink> sink);
  void onLoopStopped();

  NameResolver resolver_;
  StartLatch latch_;
  std::thread thread_;
  EventLoop* loop_ = nullptr;
  std::list<std::unique_ptr<NameLookup>> pending_;  // in order of start
};
