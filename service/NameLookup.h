#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class EventLoop;

// Resolves a host name, blocking: the first IPv4 address (host byte order),
// or 0 when there is none or the lookup failed. Runs on a lookup's own thread.
using NameResolver = std::function<uint32_t(const std::string& host)>;

// The system resolver (getaddrinfo with no service and no hints).
uint32_t resolveFirstIPv4(const std::string& host);

// One name lookup that its owner can walk away from. The system resolver
// cannot be cancelled, so it runs on a detached thread of its own; its result
// is posted to the owner's loop and handed to done there, unless the lookup
// was destroyed first. Created and destroyed on the loop's thread; done is
// always called from a later loop turn, never from the constructor, and may
// destroy the lookup (done is the caller's own copy by then).
class NameLookup {
 public:
  using Done = std::function<void(uint32_t address)>;

  NameLookup(EventLoop& loop, const NameResolver& resolver, std::string host, Done done);
  // done is never called after this, and nothing here waits for the resolver.
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};
