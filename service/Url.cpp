#include "service/Url.h"

#include "core/NumberError.h"

namespace {

// Host and path end up in the request text: a CR, LF or blank there would
// split or extend its header lines.
bool hasControlOrBlank(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

UrlParts parseUrl(const std::string& url) {
  UrlParts parts;
  std::string rest;
  if (url.compare(0, 7, "http://") == 0) {
    rest = url.substr(7);
  } else if (url.compare(0, 8, "https://") == 0) {
    parts.https = true;
    rest = url.substr(8);
  } else {
    throw NumberError(30);
  }

  size_t end = rest.find_first_of(":/");
  if (end == std::string::npos) throw NumberError(31);
  parts.host = rest.substr(0, end);
  if (hasControlOrBlank(parts.host)) throw NumberError(31);
  size_t at = end;

  if (rest[at] == ':') {
    ++at;
    size_t digits = 0;
    uint16_t port = 0;
    while (at < rest.size() && rest[at] >= '0' && rest[at] <= '9') {
      port = static_cast<uint16_t>(port * 10 + (rest[at] - '0'));
      ++at;
      ++digits;
    }
    if (digits == 0) throw NumberError(32);
    parts.port = port;
  } else {
    parts.port = parts.https ? 443 : 80;
  }

  if (at >= rest.size() || rest[at] != '/') throw NumberError(33);
  parts.path = rest.substr(at);
  if (hasControlOrBlank(parts.path)) throw NumberError(33);
  return parts;
}

std::string buildGetRequest(const UrlParts& url) {
  return "GET " + url.path + " HTTP/1.1\r\nConnection: close\r\nHost: " + url.host +
         "\r\nAccept-encoding: gzip, deflate\r\n\r\n";
}
