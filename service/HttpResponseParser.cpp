#include "service/HttpResponseParser.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <new>

#include "service/InflateBody.h"

namespace {

HttpResponseParser* self(http_parser* parser) { return static_cast<HttpResponseParser*>(parser->data); }

void toLowerAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::string normalisedCoding(std::string value) {
  const char* blanks = " \t";
  size_t first = value.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  value = value.substr(first, value.find_last_not_of(blanks) - first + 1);
  toLowerAscii(value);
  return value;
}

}  // namespace

HttpResponseParser::HttpResponseParser(std::shared_ptr<HttpListener> listener, size_t bodyLimit)
    : listener_(std::move(listener)), bodyLimit_(bodyLimit) {
  http_parser_init(&parser_, HTTP_RESPONSE);
  parser_.data = this;
  http_parser_settings_init(&settings_);
  settings_.on_header_field = &HttpResponseParser::onHeaderField;
  settings_.on_header_value = &HttpResponseParser::onHeaderValue;
  settings_.on_headers_complete = &HttpResponseParser::onHeadersComplete;
  settings_.on_body = &HttpResponseParser::onBody;
  settings_.on_message_complete = &HttpResponseParser::onMessageComplete;
}

bool HttpResponseParser::receive(const char* data, size_t length) {
  if (reported_) return false;
  if (length == 0) return true;
  size_t consumed = http_parser_execute(&parser_, &settings_, data, length);
  // A complete message is complete even when more bytes came in the same
  // read; an error is one even when the parser got to the end of the bytes.
  if (parser_.upgrade || (!complete_ && (consumed < length || failed()))) {
    fail();
    return false;
  }
  if (!complete_) return true;
  finish();
  return false;
}

void HttpResponseParser::end(bool clean) {
  if (reported_) return;
  if (!clean) {
    fail();
    return;
  }
  if (!complete_ && HTTP_PARSER_ERRNO(&parser_) == HPE_OK) http_parser_execute(&parser_, &settings_, nullptr, 0);
  finish();
}

int HttpResponseParser::onHeaderField(http_parser* parser, const char* at, size_t length) {
  HttpResponseParser* p = self(parser);
  // Fields after the body (chunked trailers) change nothing of the response.
  if (p->headersDone_) return 0;
  // A value, even an empty one, closes its header; a name in two pieces doesn't.
  if (p->lastWasValue_) p->storeHeader();
  p->pendingName_.append(at, length);
  return 0;
}

int HttpResponseParser::onHeaderValue(http_parser* parser, const char* at, size_t length) {
  HttpResponseParser* p = self(parser);
  if (p->headersDone_) return 0;
  p->pendingValue_.append(at, length);
  p->lastWasValue_ = true;
  return 0;
}

int HttpResponseParser::onHeadersComplete(http_parser* parser) {
  HttpResponseParser* p = self(parser);
  if (p->lastWasValue_) p->storeHeader();
  p->headersDone_ = true;
  p->status_ = parser->status_code;
  if (p->status_ != 200) return -1;
  // http_parser has checked the number; ULLONG_MAX means there was none.
  if (parser->content_length != ULLONG_MAX) {
    if (parser->content_length > p->bodyLimit_) return -1;
    // Growing an installer-sized body step by step costs more than receiving
    // it. A size the process cannot hold fails the download, not the process.
    try {
      p->body_.reserve(static_cast<size_t>(parser->content_length));
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  auto found = p->headers_.find("content-length");
  if (found != p->headers_.end()) {
    try {
      int value = std::stoi(found->second);
      if (value > 0) p->contentLength_ = static_cast<uint32_t>(value);
    } catch (const std::exception&) {
    }
  }
  p->reportProgress();
  return 0;
}

int HttpResponseParser::onBody(http_parser* parser, const char* at, size_t length) {
  HttpResponseParser* p = self(parser);
  if (length > p->bodyLimit_ - p->body_.size()) return -1;
  try {
    p->body_.append(at, length);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  p->reportProgress();
  return 0;
}

int HttpResponseParser::onMessageComplete(http_parser* parser) {
  self(parser)->complete_ = true;
  // One response per connection: what follows must not overwrite its status.
  http_parser_pause(parser, 1);
  return 0;
}

void HttpResponseParser::storeHeader() {
  toLowerAscii(pendingName_);
  headers_[pendingName_] = pendingValue_;
  pendingName_.clear();
  pendingValue_.clear();
  lastWasValue_ = false;
}

void HttpResponseParser::reportProgress() {
  uint32_t done = static_cast<uint32_t>(std::min<size_t>(body_.size(), contentLength_));
  listener_->onProgress(done, contentLength_);
}

bool HttpResponseParser::decode(std::string* decoded) {
  auto found = headers_.find("content-encoding");
  std::string coding = found == headers_.end() ? std::string() : normalisedCoding(found->second);
  if (coding.empty() || coding == "identity") {
    *decoded = std::move(body_);  // an installer's worth of bytes: not copied
    return true;
  }
  int modes[2];
  int attempts = 0;
  if (coding == "gzip") {
    modes[attempts++] = inflateGzip;
  } else if (coding == "deflate") {
    // Servers disagree on whether "deflate" carries the zlib wrapper.
    modes[attempts++] = inflateRaw;
    modes[attempts++] = inflateZlib;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(body_.data());
  for (int i = 0; i < attempts; ++i) {
    try {
      size_t consumed = 0;
      std::string result = inflateBody(data, body_.size(), modes[i], &consumed, bodyLimit_);
      if (consumed == body_.size()) {
        *decoded = std::move(result);
        return true;
      }
    } catch (const std::exception&) {
      // bad data, or a decoded body the process cannot hold (std::bad_alloc)
    }
  }
  return false;
}

void HttpResponseParser::fail() {
  reported_ = true;
  listener_->onError();
}

void HttpResponseParser::finish() {
  std::string decoded;
  if (!complete_ || status_ != 200 || !decode(&decoded)) {
    fail();
    return;
  }
  reported_ = true;
  listener_->onComplete(std::move(decoded));
}
