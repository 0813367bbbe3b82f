#include "netcfg/NetText.h"

#include <cstring>

std::string ipv4ToString(uint32_t address) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) text += '.';
    text += std::to_string((address >> shift) & 0xFF);
  }
  return text;
}

std::string quoteManagementArg(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

uint32_t toNetworkOrder(uint32_t hostOrder) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(hostOrder >> 24), static_cast<unsigned char>(hostOrder >> 16),
                                  static_cast<unsigned char>(hostOrder >> 8), static_cast<unsigned char>(hostOrder)};
  uint32_t networkOrder;
  std::memcpy(&networkOrder, bytes, 4);
  return networkOrder;
}

uint32_t fromNetworkOrder(uint32_t networkOrder) {
  unsigned char bytes[4];
  std::memcpy(bytes, &networkOrder, 4);
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}
