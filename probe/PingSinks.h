#pragma once

#include <cstdint>

// The two reports of one Pinger::ping. Each sink gets exactly one call, unless
// the Pinger is destroyed first; after that no call reaches it. Calls come on
// the probe threads (see Pinger.h), never on the caller's; implementations
// must not block.
class PingDnsSink {
 public:
  // On the Pinger's worker; host byte order, never 0.
  virtual void resolved(uint32_t address) = 0;
  // On the name-lookup thread: no IPv4 address, or only 0.0.0.0.
  virtual void unresolved() = 0;
  virtual ~PingDnsSink() = default;
};

class PingResultSink {
 public:
  // No reply within the time-out, an error reply, a probe that could not be
  // sent, or a name that did not resolve.
  virtual void failed() = 0;
  // Whole milliseconds from sending to handling the reply, truncated.
  virtual void replied(uint32_t latencyMs) = 0;
  virtual ~PingResultSink() = default;
};
