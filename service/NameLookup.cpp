#include "service/NameLookup.h"

#include <uv.h>

#include <mutex>
#include <system_error>

#include "core/DetachedThread.h"
#include "core/EventLoop.h"

uint32_t resolveFirstIPv4(const std::string& host) {
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, nullptr, &result) != 0) return 0;
  uint32_t address = 0;
  for (const struct addrinfo* entry = result; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) continue;
    address = ntohl(reinterpret_cast<const struct sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
    break;
  }
  freeaddrinfo(result);
  return address;
}

// Shared by the owner and the lookup thread. loop is cleared when the owner
// goes; while it is set under the mutex, the owner (and so its loop) exists.
struct NameLookup::Shared {
  std::mutex mutex;
  EventLoop* loop;
  Done done;

  void deliver(const std::shared_ptr<Shared>& self, uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!loop) return;
    loop->post([self, address] {
      Done handler;
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        if (!self->loop) return;
        self->loop = nullptr;
        handler = std::move(self->done);
      }
      handler(address);
    });
  }
};

NameLookup::NameLookup(EventLoop& loop, const NameResolver& resolver, std::string host, Done done)
    : shared_(std::make_shared<Shared>()) {
  shared_->loop = &loop;
  shared_->done = std::move(done);
  std::shared_ptr<Shared> shared = shared_;
  try {
    startDetachedThread([shared, resolver, host] { shared->deliver(shared, resolver(host)); });
  } catch (const std::system_error&) {
    shared_->deliver(shared_, 0);  // no thread: a failed lookup, reported later all the same
  }
}

NameLookup::~NameLookup() {
  Done dropped;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->loop = nullptr;
  dropped.swap(shared_->done);
}
