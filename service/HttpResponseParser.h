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

  // One http_parser_execute call; the number of bytes consumed. Check
  // complete() first: bytes after a complete message are not consumed.
  size_t execute(const char* data, size_t length);
  // The connection has ended: lets a body delimited by the end complete.
  void endOfStream();
  bool upgrade() const { return parser_.upgrade != 0; }
  bool complete() const { return complete_; }
  // http-parser stopped on an error (a callback refused, bad syntax): seen
  // even when it had reached the end of the bytes it was given.
  bool failed() const {
    enum http_errno error = HTTP_PARSER_ERRNO(&parser_);
    return error != HPE_OK && error != HPE_PAUSED;
  }
  // Reports onComplete (true) or onError (false); once.
  bool finish();

  const std::map<std::string, std::string>& headers() const { return headers_; }

 private:
  static int onHeaderField(http_parser* parser, const char* at, size_t length);
  static int onHeaderValue(http_parser* parser, const char* at, size_t length);
  static int onHeadersComplete(http_parser* parser);
  static int onBody(http_parser* parser, const char* at, size_t length);
  static int onMessageComplete(http_parser* parser);
  void storeHeader();
  void reportProgress();
  bool decode(std::string* decoded);

  std::shared_ptr<HttpListener> listener_;
  http_parser parser_;
  http_parser_settings settings_;
  size_t bodyLimit_;
  bool complete_ = false;
  unsigned status_ = 0;
  bool lastWasValue_ = false;
  std::string pendingName_;
  std::string pendingValue_;
  std::map<std::string, std::string> headers_;
  uint32_t contentLength_ = 0;
  std::string body_;
};
