#pragma once

#include <cstdint>
#include <memory>

#include "probe/PingSinks.h"

// What a Pinger sends its echo requests through: PingerICMP on Windows, a
// stand-in in tests. Made and destroyed on the Pinger's worker.
class PingEcho {
 public:
  // Any thread. The sink gets exactly one of failed or replied, on the echo's
  // own thread, unless the PingEcho is destroyed first.
  virtual void pingAsync(uint32_t address, std::shared_ptr<PingResultSink> sink) = 0;
  // Ends every probe without a report and returns once none can come any more.
  virtual ~PingEcho() = default;
};
