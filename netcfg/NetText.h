#pragma once

#include <cstdint>
#include <string>

// Host-order IPv4 as dotted decimal, most significant octet first.
std::string ipv4ToString(uint32_t address);

// One argument of a management-interface command in double quotes, with
// backslashes and double quotes escaped. Line breaks are the caller's to refuse.
std::string quoteManagementArg(const std::string& text);

// htonl and ntohl without the socket headers.
uint32_t toNetworkOrder(uint32_t hostOrder);
uint32_t fromNetworkOrder(uint32_t networkOrder);
