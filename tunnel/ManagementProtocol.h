#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The OpenVPN management dialogue as text, free of sockets and system calls.
//
// Input lines end in a carriage return, a line feed or both. A line that
// starts with ">" and holds a ":" is a real-time notification: key before the
// first ":", value after it. A "LOG" value is time, comma, flags (possibly
// empty), comma, message.

// Splits the received byte stream into lines. Bytes are kept until their
// line end arrives; empty lines (the second half of a CRLF) are skipped.
class ManagementLineBuffer {
 public:
  // OpenVPN's own lines are far shorter; a peer sending more without a line
  // end is broken, and keeping it all would only grow memory.
  static constexpr size_t maxLineLength = 1024 * 1024;

  enum class Next {
    line,     // line holds the next line, without its end
    pending,  // no complete line yet: append more
    tooLong,  // a line beyond maxLineLength: the stream is unusable
  };

  void append(const char* data, size_t size);
  // Takes the next line out of the buffer. Lines not taken stay for later
  // calls, so a caller whose handling ends the dialogue may stop at any line.
  Next next(std::string& line);

 private:
  std::string buffer_;
  size_t start_ = 0;    // first byte not yet taken
  size_t scanned_ = 0;  // bytes after start_ already known to hold no line end
};

enum class ManagementLineKind {
  text,              // a reply to a command, or a ">" line without ":"
  notification,      // a notification the client only records (">INFO:", ...)
  byteCount,         // ">BYTECOUNT:<in>,<out>", both strict decimal
  byteCountInvalid,  // ">BYTECOUNT:" with any other value
  needCredentials,   // ">PASSWORD:" whose value begins "Need" or "need"
  holdWaiting,       // ">HOLD:" whose value begins "Wait" or "wait"
  log,               // ">LOG:" the client only records
  pushReply,         // log message: the pushed options were received
  dhcpNotice,        // log message: the TAP-Windows driver was given the address
  initCompleted,     // log message: "Initialization Sequence Completed", with or without errors
};

struct ManagementLine {
  ManagementLineKind kind = ManagementLineKind::text;
  std::string key;    // notifications only
  std::string value;  // notifications only
  // Byte-count lines are the only ones left out of the transcript.
  bool toTranscript = true;

  // byteCount
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;

  // pushReply: the pushed "route-gateway" value, up to the next "," or the
  // closing quote of the control message.
  bool hasGateway = false;
  std::string gatewayText;
  bool gatewayValid = false;
  uint32_t gateway = 0;  // host order, when gatewayValid

  // dhcpNotice: "<ip>/<mask> <words> {<guid>} ...". When a part is missing
  // (dhcpComplete false) the notice changes nothing.
  bool dhcpComplete = false;
  std::string ipText;
  std::string maskText;
  std::string guidText;  // braces included
  bool addressValid = false;  // both ipText and maskText are strict IPv4
  uint32_t ip = 0;            // host order, when addressValid
  uint32_t mask = 0;
};

ManagementLine classifyManagementLine(const std::string& line);

// Strict "<in>,<out>": decimal digits only on both sides of one comma, no
// sign, no blank, each within 64 bits.
bool parseByteCount(const std::string& value, uint64_t& bytesIn, uint64_t& bytesOut);

// What the client writes to OpenVPN, with the text the debug log gets for it.
struct ManagementCommand {
  std::string bytes;
  std::string logText;
};

// Echo, the real-time log and one byte count a second switched on, then the
// hold released: "echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n".
ManagementCommand holdReleaseCommand();

// User name and password for "Auth", each quoted with quoteManagementArg. The
// log text shows the password as "***". False, and nothing built, when either
// holds a carriage return, line feed or vertical tab (it would end the command
// line early and the rest would be read as a command of its own).
bool credentialsCommand(const std::string& user, const std::string& password, ManagementCommand& command);
