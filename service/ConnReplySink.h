#pragma once

#include <string>

// How the backend channel hands back one request's outcome: exactly one of the
// two calls, once, on the channel's thread. Implementations must not block.
class ConnReplySink {
 public:
  // No connection, or the connection ended before the reply.
  virtual void onFailure() = 0;
  // The reply text; empty for a request too long for the channel.
  virtual void onReply(std::string text) = 0;
  virtual ~ConnReplySink() = default;
};
