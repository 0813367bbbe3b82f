#include "tunnel/ManagementProtocol.h"

#include <limits>
#include <stdexcept>

#include "core/Text.h"
#include "netcfg/NetText.h"

namespace {

const char dhcpNoticePrefix[] = "Notified TAP-Windows driver to set a DHCP IP/netmask of ";
const char initCompleted[] = "Initialization Sequence Completed";
// OpenVPN is up then too, and nothing else would ever end the wait; on
// Windows it adds a hint in parentheses.
const char initCompletedWithErrors[] = "Initialization Sequence Completed With Errors";
const char pushReplyPrefix[] = "PUSH: Received control message: 'PUSH_REPLY";

bool isInitCompleted(const std::string& message) {
  if (message == initCompleted || message == initCompletedWithErrors) return true;
  const std::string hinted = std::string(initCompletedWithErrors) + " (";
  return startsWith(message, hinted) && message.back() == ')';
}

bool beginsWithEither(const std::string& text, const char* upper, const char* lower) {
  return startsWith(text, upper) || startsWith(text, lower);
}

bool parseStrictIPv4(const std::string& text, uint32_t& address) {
  try {
    address = parseIPv4(text);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

bool parseDecimal(const std::string& text, size_t begin, size_t end, uint64_t& number) {
  if (begin == end) return false;
  uint64_t value = 0;
  for (size_t i = begin; i < end; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  number = value;
  return true;
}

void classifyPushReply(const std::string& text, ManagementLine& line) {
  const std::string option = "route-gateway ";
  size_t at = text.find(option);
  if (at == std::string::npos) return;
  size_t begin = at + option.size();
  // The last option is followed by the quote that closes the control message.
  size_t end = text.find_first_of(",'", begin);
  if (end == std::string::npos) end = text.size();
  line.hasGateway = true;
  line.gatewayText = text.substr(begin, end - begin);
  line.gatewayValid = parseStrictIPv4(line.gatewayText, line.gateway);
}

void classifyDhcpNotice(const std::string& text, ManagementLine& line) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return;
  size_t blank = text.find(' ', slash + 1);
  if (blank == std::string::npos) return;
  size_t open = text.find('{', blank);
  if (open == std::string::npos) return;
  size_t close = text.find('}', open);
  if (close == std::string::npos) return;
  line.dhcpComplete = true;
  line.ipText = text.substr(0, slash);
  line.maskText = text.substr(slash + 1, blank - slash - 1);
  line.guidText = text.substr(open, close - open + 1);
  line.addressValid = parseStrictIPv4(line.ipText, line.ip) && parseStrictIPv4(line.maskText, line.mask);
  if (!line.addressValid) line.ip = line.mask = 0;
}

void classifyLog(ManagementLine& line) {
  size_t first = line.value.find(',');
  if (first == std::string::npos) return;
  size_t second = line.value.find(',', first + 1);
  if (second == std::string::npos) return;
  std::string message = line.value.substr(second + 1);
  if (startsWith(message, dhcpNoticePrefix)) {
    line.kind = ManagementLineKind::dhcpNotice;
    classifyDhcpNotice(message.substr(sizeof dhcpNoticePrefix - 1), line);
  } else if (isInitCompleted(message)) {
    line.kind = ManagementLineKind::initCompleted;
  } else if (startsWith(message, pushReplyPrefix)) {
    line.kind = ManagementLineKind::pushReply;
    classifyPushReply(message.substr(sizeof pushReplyPrefix - 1), line);
  }
}

}  // namespace

void ManagementLineBuffer::append(const char* data, size_t size) {
  if (size != 0) buffer_.append(data, size);
}

ManagementLineBuffer::Next ManagementLineBuffer::next(std::string& line) {
  for (;;) {
    size_t end = buffer_.find_first_of("\r\n", start_ + scanned_);
    if (end == std::string::npos) {
      if (start_ != 0) {
        buffer_.erase(0, start_);
        start_ = 0;
      }
      scanned_ = buffer_.size();
      return scanned_ > maxLineLength ? Next::tooLong : Next::pending;
    }
    size_t length = end - start_;
    if (length > maxLineLength) return Next::tooLong;
    size_t begin = start_;
    start_ = end + 1;
    scanned_ = 0;
    if (length == 0) continue;
    line.assign(buffer_, begin, length);
    return Next::line;
  }
}

bool parseByteCount(const std::string& value, uint64_t& bytesIn, uint64_t& bytesOut) {
  size_t comma = value.find(',');
  if (comma == std::string::npos) return false;
  uint64_t in = 0;
  uint64_t out = 0;
  if (!parseDecimal(value, 0, comma, in) || !parseDecimal(value, comma + 1, value.size(), out)) return false;
  bytesIn = in;
  bytesOut = out;
  return true;
}

ManagementLine classifyManagementLine(const std::string& text) {
  ManagementLine line;
  if (text.empty() || text[0] != '>') return line;
  size_t colon = text.find(':', 1);
  if (colon == std::string::npos) return line;
  line.kind = ManagementLineKind::notification;
  line.key = text.substr(1, colon - 1);
  line.value = text.substr(colon + 1);
  if (line.key == "BYTECOUNT") {
    line.toTranscript = false;
    line.kind = parseByteCount(line.value, line.bytesIn, line.bytesOut) ? ManagementLineKind::byteCount
                                                                         : ManagementLineKind::byteCountInvalid;
  } else if (line.key == "PASSWORD") {
    if (beginsWithEither(line.value, "Need", "need")) line.kind = ManagementLineKind::needCredentials;
  } else if (line.key == "HOLD") {
    if (beginsWithEither(line.value, "Wait", "wait")) line.kind = ManagementLineKind::holdWaiting;
  } else if (line.key == "LOG") {
    line.kind = ManagementLineKind::log;
    classifyLog(line);
  }
  return line;
}

ManagementCommand holdReleaseCommand() {
  std::string text = "echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n";
  return {text, text};
}

bool credentialsCommand(const std::string& user, const std::string& password, ManagementCommand& command) {
  const char breaks[] = "\r\n\v";
  if (user.find_first_of(breaks) != std::string::npos || password.find_first_of(breaks) != std::string::npos)
    return false;
  std::string userLine = "username \"Auth\" " + quoteManagementArg(user) + "\r\n";
  command.bytes = userLine + "password \"Auth\" " + quoteManagementArg(password) + "\r\n";
  command.logText = userLine + "password \"Auth\" \"***\"\r\n";
  return true;
}
