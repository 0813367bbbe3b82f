#pragma once

// What the main controller needs of the latency probes: one batch of probes,
// each reporting to its own sink. The probe room's Pinger fits behind it.
#include <cstdint>
#include <memory>
#include <string>

// The reports of one server's probe: resolved or unresolved, then replied or
// failed (a name that does not resolve reports failed too). They come on the
// probes' own threads; implementations post and must not block.
class ServerProbeSink {
 public:
  virtual void resolved(uint32_t address) = 0;  // host byte order
  virtual void unresolved() = 0;
  virtual void replied(uint32_t latencyMs) = 0;
  virtual void failed() = 0;
  virtual ~ServerProbeSink() = default;
};

// Destroying the batch stops its probes; no report reaches a sink after that.
class ServerProbes {
 public:
  virtual void ping(const std::string& host, std::shared_ptr<ServerProbeSink> sink) = 0;
  virtual ~ServerProbes() = default;
};
