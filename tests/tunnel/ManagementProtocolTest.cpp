#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tunnel/ManagementProtocol.h"

namespace {

using Kind = ManagementLineKind;
using Next = ManagementLineBuffer::Next;

// Every line the buffer gives, until it has no complete one.
std::vector<std::string> drain(ManagementLineBuffer& buffer) {
  std::vector<std::string> lines;
  std::string line;
  Next next;
  while ((next = buffer.next(line)) == Next::line) lines.push_back(line);
  EXPECT_EQ(next, Next::pending);
  return lines;
}

std::vector<std::string> feed(ManagementLineBuffer& buffer, const std::string& bytes) {
  buffer.append(bytes.data(), bytes.size());
  return drain(buffer);
}

// As OpenVPN 2.6 sends them as a management client, CRLF-ended.
const std::string dialogue =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    "SUCCESS: real-time echo notification set to ON\r\n"
    ">LOG:1733840000,,MANAGEMENT: Client connected from [AF_INET]127.0.0.1:50123\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    ">BYTECOUNT:1024,2048\r\n";
const std::vector<std::string> dialogueLines = {
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info",
    ">HOLD:Waiting for hold release:0",
    "SUCCESS: real-time echo notification set to ON",
    ">LOG:1733840000,,MANAGEMENT: Client connected from [AF_INET]127.0.0.1:50123",
    ">PASSWORD:Need 'Auth' username/password",
    ">BYTECOUNT:1024,2048",
};

TEST(ManagementLineBuffer, EveryLineEndKind) {
  ManagementLineBuffer buffer;
  EXPECT_EQ(feed(buffer, "a\r\nb\nc\rd\n\re\r\r\n\nf"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(feed(buffer, "\r\n"), std::vector<std::string>{"f"});
}

TEST(ManagementLineBuffer, SameLinesWhereverTheReadsAreCut) {
  for (size_t cut = 0; cut <= dialogue.size(); ++cut) {
    ManagementLineBuffer buffer;
    std::vector<std::string> lines = feed(buffer, dialogue.substr(0, cut));
    for (const std::string& line : feed(buffer, dialogue.substr(cut))) lines.push_back(line);
    EXPECT_EQ(lines, dialogueLines) << "cut at " << cut;
  }
  ManagementLineBuffer buffer;
  std::vector<std::string> lines;
  for (char c : dialogue)
    for (const std::string& line : feed(buffer, std::string(1, c))) lines.push_back(line);
  EXPECT_EQ(lines, dialogueLines);
}

TEST(ManagementLineBuffer, LinesNotTakenWaitForTheNextCall) {
  ManagementLineBuffer buffer;
  std::string bytes = "one\r\ntwo\r\nthr";
  buffer.append(bytes.data(), bytes.size());
  std::string line;
  ASSERT_EQ(buffer.next(line), Next::line);
  EXPECT_EQ(line, "one");
  // The caller stopped here; more arrives before it looks again.
  bytes = "ee\r\n";
  buffer.append(bytes.data(), bytes.size());
  EXPECT_EQ(drain(buffer), (std::vector<std::string>{"two", "three"}));
}

TEST(ManagementLineBuffer, LineBeyondLimitBreaksTheStream) {
  const size_t limit = ManagementLineBuffer::maxLineLength;
  std::string line;
  {
    ManagementLineBuffer buffer;
    std::string atLimit(limit, 'x');
    // Fed in pieces without a line end: waits, then comes whole.
    for (size_t at = 0; at < limit; at += 4096) {
      buffer.append(atLimit.data() + at, 4096);
      ASSERT_EQ(buffer.next(line), Next::pending);
    }
    buffer.append("\n>HOLD:Waiting\n", 15);
    ASSERT_EQ(buffer.next(line), Next::line);
    EXPECT_EQ(line.size(), limit);
    ASSERT_EQ(buffer.next(line), Next::line);
    EXPECT_EQ(line, ">HOLD:Waiting");
  }
  {
    ManagementLineBuffer buffer;
    std::string beyond(limit + 1, 'x');
    buffer.append(beyond.data(), limit);
    ASSERT_EQ(buffer.next(line), Next::pending);
    buffer.append("x", 1);
    EXPECT_EQ(buffer.next(line), Next::tooLong);
  }
  {
    ManagementLineBuffer buffer;
    std::string beyond = "ok\r\n" + std::string(limit + 1, 'x') + "\r\n";
    buffer.append(beyond.data(), beyond.size());
    ASSERT_EQ(buffer.next(line), Next::line);
    EXPECT_EQ(line, "ok");
    EXPECT_EQ(buffer.next(line), Next::tooLong);
  }
}

struct LineCase {
  const char* name;
  std::string line;
  Kind kind;
  std::string key;
  std::string value;
};

const LineCase lineCases[] = {
    {"CommandReply", "SUCCESS: hold release succeeded", Kind::text, "", ""},
    {"ErrorReply", "ERROR: unknown command, enter 'help' for more options", Kind::text, "", ""},
    {"NotificationWithoutColon", ">INFO OpenVPN", Kind::text, "", ""},
    {"Info", ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info", Kind::notification,
     "INFO", "OpenVPN Management Interface Version 5 -- type 'help' for more info"},
    {"EmptyKey", ">:x", Kind::notification, "", "x"},
    {"ValueKeepsLaterColons", ">STATE:1733840000,CONNECTED,SUCCESS,10.8.0.6,203.0.113.7,1194,,", Kind::notification,
     "STATE", "1733840000,CONNECTED,SUCCESS,10.8.0.6,203.0.113.7,1194,,"},
    {"HoldWaiting", ">HOLD:Waiting for hold release:0", Kind::holdWaiting, "HOLD", "Waiting for hold release:0"},
    {"HoldWaitingLowerCase", ">HOLD:waiting", Kind::holdWaiting, "HOLD", "waiting"},
    {"HoldOtherValue", ">HOLD:Released", Kind::notification, "HOLD", "Released"},
    {"HoldWaitNotAtStart", ">HOLD: Waiting", Kind::notification, "HOLD", " Waiting"},
    {"NeedCredentials", ">PASSWORD:Need 'Auth' username/password", Kind::needCredentials, "PASSWORD",
     "Need 'Auth' username/password"},
    {"NeedLowerCase", ">PASSWORD:need 'Auth' username/password", Kind::needCredentials, "PASSWORD",
     "need 'Auth' username/password"},
    {"VerificationFailedOnlyRecorded", ">PASSWORD:Verification Failed: 'Auth'", Kind::notification, "PASSWORD",
     "Verification Failed: 'Auth'"},
    {"KeyIsCaseSensitive", ">hold:Waiting", Kind::notification, "hold", "Waiting"},
    {"KeyMatchedWhole", ">BYTECOUNT_CLI:1,2,3", Kind::notification, "BYTECOUNT_CLI", "1,2,3"},
    {"ByteCount", ">BYTECOUNT:1024,2048", Kind::byteCount, "BYTECOUNT", "1024,2048"},
    {"ByteCountInvalid", ">BYTECOUNT:1024", Kind::byteCountInvalid, "BYTECOUNT", "1024"},
    {"LogOther", ">LOG:1733840000,I,TCP/UDP: Preserving recently used remote address", Kind::log, "LOG",
     "1733840000,I,TCP/UDP: Preserving recently used remote address"},
    {"LogWithOneComma", ">LOG:1733840000,Initialization Sequence Completed", Kind::log, "LOG",
     "1733840000,Initialization Sequence Completed"},
    {"InitCompletedEmptyFlags", ">LOG:1733840000,,Initialization Sequence Completed", Kind::initCompleted, "LOG",
     "1733840000,,Initialization Sequence Completed"},
    {"InitCompletedWithFlags", ">LOG:1733840000,I,Initialization Sequence Completed", Kind::initCompleted, "LOG",
     "1733840000,I,Initialization Sequence Completed"},
    // OpenVPN is up with errors too; the attempt must not wait for ever.
    {"InitCompletedWithErrors", ">LOG:1733840000,I,Initialization Sequence Completed With Errors",
     Kind::initCompleted, "LOG", "1733840000,I,Initialization Sequence Completed With Errors"},
    {"InitCompletedWithErrorsAndHint",
     ">LOG:1733840000,,Initialization Sequence Completed With Errors ( see http://openvpn.net/faq.html#dhcpclientserv )",
     Kind::initCompleted, "LOG",
     "1733840000,,Initialization Sequence Completed With Errors ( see http://openvpn.net/faq.html#dhcpclientserv )"},
    // Only OpenVPN's own messages complete the tunnel, never a longer text that begins like them.
    {"InitCompletedFollowedByText", ">LOG:1,,Initialization Sequence Completed?!", Kind::log, "LOG",
     "1,,Initialization Sequence Completed?!"},
    {"InitCompletedFollowedByBlank", ">LOG:1,,Initialization Sequence Completed ", Kind::log, "LOG",
     "1,,Initialization Sequence Completed "},
    {"InitCompletedWithErrorsFollowedByText", ">LOG:1,,Initialization Sequence Completed With Errors!", Kind::log,
     "LOG", "1,,Initialization Sequence Completed With Errors!"},
    {"InitCompletedWithErrorsUnclosedHint", ">LOG:1,,Initialization Sequence Completed With Errors ( see", Kind::log,
     "LOG", "1,,Initialization Sequence Completed With Errors ( see"},
    {"InitCompletedWithErrorsHintWithoutBlank", ">LOG:1,,Initialization Sequence Completed With Errors(x)",
     Kind::log, "LOG", "1,,Initialization Sequence Completed With Errors(x)"},
    {"InitCompletedWithOtherWords", ">LOG:1,,Initialization Sequence Completed With Warnings", Kind::log, "LOG",
     "1,,Initialization Sequence Completed With Warnings"},
    {"InitNotAtMessageStart", ">LOG:1733840000,I, Initialization Sequence Completed", Kind::log, "LOG",
     "1733840000,I, Initialization Sequence Completed"},
    {"PushReply", ">LOG:1733840000,,PUSH: Received control message: 'PUSH_REPLY,ping 10'", Kind::pushReply, "LOG",
     "1733840000,,PUSH: Received control message: 'PUSH_REPLY,ping 10'"},
    {"DhcpNotice", ">LOG:1733840000,,Notified TAP-Windows driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.252",
     Kind::dhcpNotice, "LOG", "1733840000,,Notified TAP-Windows driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.252"},
};

class LineTable : public testing::TestWithParam<LineCase> {};

TEST_P(LineTable, KindKeyValueAndTranscript) {
  const LineCase& c = GetParam();
  ManagementLine line = classifyManagementLine(c.line);
  EXPECT_EQ(line.kind, c.kind);
  EXPECT_EQ(line.key, c.key);
  EXPECT_EQ(line.value, c.value);
  bool byteCount = c.kind == Kind::byteCount || c.kind == Kind::byteCountInvalid;
  EXPECT_EQ(line.toTranscript, !byteCount);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineTable, testing::ValuesIn(lineCases),
                         [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

struct ByteCountCase {
  const char* name;
  std::string value;
  bool valid;
  uint64_t in;
  uint64_t out;
};

const ByteCountCase byteCountCases[] = {
    {"Zeros", "0,0", true, 0, 0},
    {"Plain", "1024,2048", true, 1024, 2048},
    {"LeadingZerosAreDigits", "007,010", true, 7, 10},
    {"LargestValue", "18446744073709551615,18446744073709551615", true, UINT64_MAX, UINT64_MAX},
    // What "%llu" would wrap, skip or ignore gives no value at all.
    {"InOverflows", "18446744073709551616,0", false, 0, 0},
    {"OutOverflows", "0,99999999999999999999", false, 0, 0},
    {"Negative", "-1,2", false, 0, 0},
    {"PlusSign", "+1,2", false, 0, 0},
    {"LeadingBlank", " 1,2", false, 0, 0},
    {"BlankAfterComma", "1, 2", false, 0, 0},
    {"TrailingBlank", "1,2 ", false, 0, 0},
    {"TrailingText", "1,2x", false, 0, 0},
    {"ThirdNumber", "1,2,3", false, 0, 0},
    {"OneNumber", "1024", false, 0, 0},
    {"EmptyIn", ",2", false, 0, 0},
    {"EmptyOut", "1,", false, 0, 0},
    {"Empty", "", false, 0, 0},
    {"Hexadecimal", "0x10,2", false, 0, 0},
};

class ByteCountTable : public testing::TestWithParam<ByteCountCase> {};

TEST_P(ByteCountTable, StrictDecimalPair) {
  const ByteCountCase& c = GetParam();
  uint64_t in = 77;
  uint64_t out = 77;
  EXPECT_EQ(parseByteCount(c.value, in, out), c.valid);
  ManagementLine line = classifyManagementLine(">BYTECOUNT:" + c.value);
  EXPECT_EQ(line.kind, c.valid ? Kind::byteCount : Kind::byteCountInvalid);
  EXPECT_FALSE(line.toTranscript);
  if (c.valid) {
    EXPECT_EQ(in, c.in);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(line.bytesIn, c.in);
    EXPECT_EQ(line.bytesOut, c.out);
  } else {
    EXPECT_EQ(in, 77u);  // untouched
    EXPECT_EQ(out, 77u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ByteCountTable, testing::ValuesIn(byteCountCases),
                         [](const testing::TestParamInfo<ByteCountCase>& info) { return info.param.name; });

struct PushCase {
  const char* name;
  std::string options;  // after "PUSH_REPLY"
  bool hasGateway;
  std::string gatewayText;
  bool valid;
  uint32_t gateway;
};

const PushCase pushCases[] = {
    {"GatewayAmongOptions", ",route-gateway 10.8.0.1,topology net30,ping 10'", true, "10.8.0.1", true, 0x0A080001},
    // The quote closing the control message is no part of the address.
    {"GatewayLastOption", ",ping 10,route-gateway 10.8.0.1'", true, "10.8.0.1", true, 0x0A080001},
    {"GatewayAtTextEnd", ",route-gateway 10.8.0.9", true, "10.8.0.9", true, 0x0A080009},
    {"NoGateway", ",ping 10,ifconfig 10.8.0.6 10.8.0.5'", false, "", false, 0},
    {"GatewayNotAnAddress", ",route-gateway dhcp,ping 10'", true, "dhcp", false, 0},
    {"GatewayWithLeadingZero", ",route-gateway 10.08.0.1,ping 10'", true, "10.08.0.1", false, 0},
    {"GatewayEmpty", ",route-gateway ,ping 10'", true, "", false, 0},
};

class PushReplyTable : public testing::TestWithParam<PushCase> {};

TEST_P(PushReplyTable, RouteGateway) {
  const PushCase& c = GetParam();
  ManagementLine line =
      classifyManagementLine(">LOG:1733840000,,PUSH: Received control message: 'PUSH_REPLY" + c.options);
  ASSERT_EQ(line.kind, Kind::pushReply);
  EXPECT_EQ(line.hasGateway, c.hasGateway);
  EXPECT_EQ(line.gatewayText, c.gatewayText);
  EXPECT_EQ(line.gatewayValid, c.valid);
  if (c.valid) {
    EXPECT_EQ(line.gateway, c.gateway);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PushReplyTable, testing::ValuesIn(pushCases),
                         [](const testing::TestParamInfo<PushCase>& info) { return info.param.name; });

struct DhcpCase {
  const char* name;
  std::string notice;  // after the notice's prefix
  bool complete;
  std::string ip;
  std::string mask;
  std::string guid;
  bool valid;
  uint32_t ipValue;
  uint32_t maskValue;
};

const DhcpCase dhcpCases[] = {
    {"AsTapWindowsSendsIt",
     "10.8.0.6/255.255.255.252 on interface {6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F} "
     "[DHCP-serv: 10.8.0.5, lease-time: 31536000]",
     true, "10.8.0.6", "255.255.255.252", "{6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}", true, 0x0A080006, 0xFFFFFFFC},
    {"AddressDoesNotParse", "10.8.0.300/255.255.255.0 on interface {G} [x]", true, "10.8.0.300", "255.255.255.0",
     "{G}", false, 0, 0},
    {"MaskDoesNotParse", "10.8.0.6/255.255.255 on interface {G}", true, "10.8.0.6", "255.255.255", "{G}", false, 0,
     0},
    {"NoSlash", "10.8.0.6 255.255.255.0 on interface {G}", false, "", "", "", false, 0, 0},
    {"NoBlankAfterMask", "10.8.0.6/255.255.255.0", false, "", "", "", false, 0, 0},
    {"NoOpeningBrace", "10.8.0.6/255.255.255.0 on interface G}", false, "", "", "", false, 0, 0},
    {"NoClosingBrace", "10.8.0.6/255.255.255.0 on interface {G", false, "", "", "", false, 0, 0},
};

class DhcpNoticeTable : public testing::TestWithParam<DhcpCase> {};

TEST_P(DhcpNoticeTable, AddressMaskAndInterface) {
  const DhcpCase& c = GetParam();
  ManagementLine line = classifyManagementLine(
      ">LOG:1733840000,,Notified TAP-Windows driver to set a DHCP IP/netmask of " + c.notice);
  ASSERT_EQ(line.kind, Kind::dhcpNotice);
  EXPECT_EQ(line.dhcpComplete, c.complete);
  EXPECT_EQ(line.addressValid, c.valid);
  if (!c.complete) return;
  EXPECT_EQ(line.ipText, c.ip);
  EXPECT_EQ(line.maskText, c.mask);
  EXPECT_EQ(line.guidText, c.guid);
  EXPECT_EQ(line.ip, c.ipValue);
  EXPECT_EQ(line.mask, c.maskValue);
}

INSTANTIATE_TEST_SUITE_P(Cases, DhcpNoticeTable, testing::ValuesIn(dhcpCases),
                         [](const testing::TestParamInfo<DhcpCase>& info) { return info.param.name; });

TEST(ManagementLines, ByteCountThenHoldInOneRead) {
  ManagementLineBuffer buffer;
  std::vector<Kind> kinds;
  for (const std::string& line : feed(buffer, ">BYTECOUNT:5,6\r\n>HOLD:Waiting for hold release:10\r\n"))
    kinds.push_back(classifyManagementLine(line).kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::byteCount, Kind::holdWaiting}));
}

TEST(ManagementCommands, HoldReleaseBytes) {
  ManagementCommand command = holdReleaseCommand();
  EXPECT_EQ(command.bytes, "echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n");
  EXPECT_EQ(command.bytes.size(), 44u);
  EXPECT_EQ(command.logText, command.bytes);
}

struct CredentialsCase {
  const char* name;
  std::string user;
  std::string password;
  bool sendable;
  std::string bytes;
};

const CredentialsCase credentialsCases[] = {
    {"Plain", "alice", "secret", true, "username \"Auth\" \"alice\"\r\npassword \"Auth\" \"secret\"\r\n"},
    {"BackslashAndQuoteEscaped", "do\\main", "p\"w\\", true,
     "username \"Auth\" \"do\\\\main\"\r\npassword \"Auth\" \"p\\\"w\\\\\"\r\n"},
    {"BlanksAndEmptyKept", "a b", "", true, "username \"Auth\" \"a b\"\r\npassword \"Auth\" \"\"\r\n"},
    {"Utf8Untouched", "\xc3\xa9", "\xe2\x82\xac", true,
     "username \"Auth\" \"\xc3\xa9\"\r\npassword \"Auth\" \"\xe2\x82\xac\"\r\n"},
    // A line break would end the command early and start another one.
    {"LineFeedInUser", "alice\nhold release", "pw", false, ""},
    {"CarriageReturnInUser", "alice\r", "pw", false, ""},
    {"LineFeedInPassword", "alice", "pw\nsignal SIGTERM", false, ""},
    {"CarriageReturnInPassword", "alice", "\rpw", false, ""},
    {"VerticalTabInPassword", "alice", "p\vw", false, ""},
};

class CredentialsTable : public testing::TestWithParam<CredentialsCase> {};

TEST_P(CredentialsTable, EscapedOrRefused) {
  const CredentialsCase& c = GetParam();
  ManagementCommand command{"untouched", "untouched"};
  ASSERT_EQ(credentialsCommand(c.user, c.password, command), c.sendable);
  if (!c.sendable) {
    EXPECT_EQ(command.bytes, "untouched");
    return;
  }
  EXPECT_EQ(command.bytes, c.bytes);
  // The log keeps both lines and their tags, never the password.
  size_t passwordLine = c.bytes.find("password \"Auth\" ");
  EXPECT_EQ(command.logText, c.bytes.substr(0, passwordLine) + "password \"Auth\" \"***\"\r\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, CredentialsTable, testing::ValuesIn(credentialsCases),
                         [](const testing::TestParamInfo<CredentialsCase>& info) { return info.param.name; });

}  // namespace
