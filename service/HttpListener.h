#pragma once

#include <cstdint>
#include <string>

// Receives the outcome of one HttpThread request, always on the request's own
// thread. Zero or more onProgress calls come first, then exactly one of onError
// or onComplete; a cancelled request reports nothing. An implementation only
// posts to its owner's thread: it must never destroy its HttpThread from inside
// a call (the destructor joins the calling thread).
class HttpListener {
 public:
  virtual void onError() = 0;
  // The whole body, already decoded.
  virtual void onComplete(std::string body) = 0;
  // Body bytes received so far and the announced length ("content-length"),
  // (0, 0) when the response announces none.
  virtual void onProgress(uint32_t done, uint32_t total) = 0;
  virtual ~HttpListener() = default;
};
