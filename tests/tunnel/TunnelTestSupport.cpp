#include "tests/tunnel/TunnelTestSupport.h"

#include <functional>

#include "core/EventLoop.h"

void settle(OVPNThread& thread, int rounds) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::function<void(int)> probe = [&](int left) {
    if (left > 0) {
      thread.eventLoop().post([&probe, left] { probe(left - 1); });
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    done.notify_all();
  };
  thread.eventLoop().post([&probe, rounds] { probe(rounds); });
  std::unique_lock<std::mutex> lock(mutex);
  done.wait(lock, [&] { return finished; });
}

std::vector<std::string> loggedStates(const std::string& log) {
  std::vector<std::string> states;
  const std::string tag = "OVPN State: ";
  for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
    size_t start = at + tag.size();
    states.push_back(log.substr(start, log.find('\n', start) - start));
  }
  return states;
}
