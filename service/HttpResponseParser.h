#pragma once

#include <http_parser.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "service/HttpListener.h"

// Turns the bytes of one HTTP/1.1 response into the decoded body for a
// request's listener: only status 200 is accepted, progress comes from
// "content-length", "gzip" and "deflate" bodies are inflated at the end.
class HttpResponseParser {
 public:
  // Far above the largest installer: a body (or a decoded body) beyond it ends
  // the download instead of exhausting memory.
  static constexpr size_t defaultBodyLimit = size_t(256) << 20;

  explicit HttpResponseParser(std::shared_ptr<HttpListener> listener, size_t bodyLimit = defaultBodyLimit);
  HttpResponseParser(const HttpResponseParser&) = delete;
  HttpResponseParser& operator=(const HttpResponseParser&) = delete;

  // One piece of the response as it arrived: true to wait for more, false
  // once the outcome has been reported to the listener (onComplete or
  // onError). Nothing is reported after that.
  bool receive(const char* data, size_t length);
  // The connection has ended. Only a clean end (the peer's orderly close, or
  // TLS close_notify) completes a body delimited by the end: after a reset, a
  // read error or a TLS stream cut short the body may be missing its tail.
  // Anything unfinished fails. Reports the outcome unless receive already did.
  void end(bool clean);

  const std::map<std::string, std::string>& headers() const { return headers_; }

 private:
  static int onHeaderField(http_parser* parser, const char* at, size_t length);
  static int onHeaderValue(http_parser* parser, const char* at, size_t length);
  static int onHeadersComplete(http_parser* parser);
  static int onBody(http_parser* parser, const char* at, size_t length);
  static int onMessageComplete(http_parser* parser);
  bool failed() const {
    enum http_errno error = HTTP_PARSER_ERRNO(&parser_);
    return error != HPE_OK && error != HPE_PAUSED;
  }
  void fail();
  void finish();
  void storeHeader();
  void reportProgress();
  bool decode(std::string* decoded);

  std::shared_ptr<HttpListener> listener_;
  http_parser parser_;
  http_parser_settings settings_;
  size_t bodyLimit_;
  bool complete_ = false;
  bool headersDone_ = false;
  bool reported_ = false;
  unsigned status_ = 0;
  bool lastWasValue_ = false;
  std::string pendingName_;
  std::string pendingValue_;
  std::map<std::string, std::string> headers_;
  uint32_t contentLength_ = 0;
  std::string body_;
};
