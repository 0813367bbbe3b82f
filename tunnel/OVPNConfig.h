#pragma once

#include <cstdint>
#include <string>

// The configuration file OpenVPN is started on: the server's text exactly as
// received (a line feed added when it is not empty and does not end in one),
// then the client's own four lines, each ended by a single line feed:
//   remote <host> <port>
//   management 127.0.0.1 <managementPort>
//   proto udp|tcp
//   dev-node <adapterGuid>
// host is dotted IPv4 text, adapterGuid the braced GUID text of the own TAP
// adapter. Everything else the dialogue needs from OpenVPN (connecting back
// as a management client, the hold, the password query) is the server's text.
std::string openVpnConfigText(const std::string& serverText, const std::string& host, uint16_t port,
                              uint16_t managementPort, bool udp, const std::string& adapterGuid);

// " --config " followed by the quoted configuration-file path.
std::wstring configArgument(const std::wstring& configPath);

// The quoted program path followed by configArgument.
std::wstring openVpnCommandLine(const std::wstring& programPath, const std::wstring& configPath);
