#include <gtest/gtest.h>

#include "tunnel/OVPNConfig.h"

namespace {

const char guid[] = "{6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}";
const std::string ownLines1194Udp =
    "remote 203.0.113.7 1194\n"
    "management 127.0.0.1 50123\n"
    "proto udp\n"
    "dev-node {6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}\n";

struct ConfigCase {
  const char* name;
  std::string serverText;
  uint16_t port;
  uint16_t managementPort;
  bool udp;
  std::string expected;
};

const ConfigCase configCases[] = {
    {"FinalLineFeedKept", "client\nnobind\n", 1194, 50123, true, "client\nnobind\n" + ownLines1194Udp},
    {"MissingFinalLineFeedAdded", "client\nnobind", 1194, 50123, true, "client\nnobind\n" + ownLines1194Udp},
    {"EmptyTextOnlyOwnLines", "", 1194, 50123, true, ownLines1194Udp},
    {"LoneLineFeedKept", "\n", 1194, 50123, true, "\n" + ownLines1194Udp},
    // Only a final line feed counts: a carriage return gets one after it.
    {"CrlfEndingKept", "client\r\n", 1194, 50123, true, "client\r\n" + ownLines1194Udp},
    {"CarriageReturnEndingGetsLineFeed", "client\r", 1194, 50123, true, "client\r\n" + ownLines1194Udp},
    {"TcpWhenUdpFlagClear", "client\n", 443, 1, false,
     "client\nremote 203.0.113.7 443\nmanagement 127.0.0.1 1\nproto tcp\n"
     "dev-node {6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}\n"},
    {"PortsInDecimalWithoutLeadingZeros", "", 65535, 7, true,
     "remote 203.0.113.7 65535\nmanagement 127.0.0.1 7\nproto udp\n"
     "dev-node {6C1B0F5E-2D3A-4B7C-8E9F-0A1B2C3D4E5F}\n"},
    {"ServerTextByteExact", std::string("a\0b\tc \n", 7), 1194, 50123, true,
     std::string("a\0b\tc \n", 7) + ownLines1194Udp},
};

class ConfigTextTable : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigTextTable, ServerTextThenOwnLines) {
  const ConfigCase& c = GetParam();
  EXPECT_EQ(openVpnConfigText(c.serverText, "203.0.113.7", c.port, c.managementPort, c.udp, guid), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigTextTable, testing::ValuesIn(configCases),
                         [](const testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

struct CommandLineCase {
  const char* name;
  std::wstring program;
  std::wstring config;
  std::wstring expected;
};

const CommandLineCase commandLineCases[] = {
    {"PathsWithBlanksQuoted", L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe",
     L"C:\\Users\\A B\\AppData\\Local\\Temp\\1A2.tmp",
     L"\"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe\" --config \"C:\\Users\\A B\\AppData\\Local\\Temp\\1A2.tmp\""},
    {"PathsWithoutBlanksAsTheyAre", L"C:\\OpenVPN\\openvpn.exe", L"C:\\Temp\\1A2.tmp",
     L"C:\\OpenVPN\\openvpn.exe --config C:\\Temp\\1A2.tmp"},
};

class CommandLineTable : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTable, QuotedProgramThenConfigArgument) {
  const CommandLineCase& c = GetParam();
  EXPECT_EQ(openVpnCommandLine(c.program, c.config), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTable, testing::ValuesIn(commandLineCases),
                         [](const testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

}  // namespace
