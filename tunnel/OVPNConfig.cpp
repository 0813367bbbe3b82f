#include "tunnel/OVPNConfig.h"

#include "core/QuoteArgument.h"

std::string openVpnConfigText(const std::string& serverText, const std::string& host, uint16_t port,
                              uint16_t managementPort, bool udp, const std::string& adapterGuid) {
  std::string text = serverText;
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += "remote " + host + " " + std::to_string(port) + "\n";
  text += "management 127.0.0.1 " + std::to_string(managementPort) + "\n";
  text += std::string("proto ") + (udp ? "udp" : "tcp") + "\n";
  text += "dev-node " + adapterGuid + "\n";
  return text;
}

std::wstring configArgument(const std::wstring& configPath) { return L" --config " + quoteArgument(configPath); }

std::wstring openVpnCommandLine(const std::wstring& programPath, const std::wstring& configPath) {
  return quoteArgument(programPath) + configArgument(configPath);
}
