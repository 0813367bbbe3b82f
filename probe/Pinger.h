#pragma once

#include <functional>
#include <memory>
#include <string>

#include "probe/PingEcho.h"
#include "probe/PingSinks.h"
#include "service/NameLookup.h"

class RandomGenerator;

// Measures the latency to servers: each ping resolves a host name to one IPv4
// address on the DNS thread and sends one echo request to it. Three threads
// of its own: the worker (resolved reports), the DNS thread (unresolved and
// the failed report after it) and the echo's thread (every other result).
//
// Nothing inside holds the Pinger, so it is released only by its owners; it
// may be, even from inside a sink call or a sink's destructor. Once the
// destructor has begun no report reaches a sink.
class Pinger {
 public:
  using EchoFactory = std::function<std::unique_ptr<PingEcho>()>;  // called on the worker

#ifdef _WIN32
  // Echoes through PingerICMP.
  explicit Pinger(std::shared_ptr<RandomGenerator> random);
#endif
  // Returns once the worker runs. Name lookups go through resolver, on
  // threads of their own that nothing waits for.
  explicit Pinger(EchoFactory makeEcho, NameResolver resolver = resolveFirstIPv4);
  // Stops every probe without a report and joins the threads: never waits for
  // echo requests the system still holds, nor for a name lookup. When called
  // on one of the Pinger's own threads it leaves the joining to the worker
  // instead.
  ~Pinger();
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;

  // Any thread.
  void ping(std::string host, std::shared_ptr<PingResultSink> results, std::shared_ptr<PingDnsSink> dns);

 private:
  friend class PingRequest;
  struct Worker;
  Worker* worker_;
};
