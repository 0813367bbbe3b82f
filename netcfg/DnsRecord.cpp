#include "netcfg/DnsRecord.h"

#include <exception>

#include "core/Text.h"
#include "netcfg/NetText.h"

namespace {

const char header[] = "zav-dns 1";
constexpr size_t identityLimit = 64;

bool parseIndex(const std::string& text, uint32_t& index) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  index = static_cast<uint32_t>(value);
  return true;
}

bool validIdentity(const std::string& text) {
  if (text.empty() || text.size() > identityLimit) return false;
  for (char c : text)
    if (c <= ' ' || c > '~') return false;
  return true;
}

// Only addresses in their one dotted form ever reach a command line.
bool parseServers(const std::string& text, std::vector<std::string>& servers) {
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(',', start);
    const std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    try {
      if (ipv4ToString(parseIPv4(item)) != item) return false;
    } catch (const std::exception&) {
      return false;
    }
    servers.push_back(item);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool parseLine(const std::string& line, DnsRecordEntry& entry) {
  const size_t first = line.find(' ');
  if (first == std::string::npos) return false;
  const size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return false;
  if (!parseIndex(line.substr(0, first), entry.interfaceIndex)) return false;
  entry.identity = line.substr(first + 1, second - first - 1);
  if (!validIdentity(entry.identity)) return false;
  const std::string rest = line.substr(second + 1);
  if (rest == "dhcp") return true;
  const std::string staticWord = "static ";
  return startsWith(rest, staticWord) && parseServers(rest.substr(staticWord.size()), entry.setting.servers);
}

}  // namespace

std::string formatDnsRecord(const std::vector<DnsRecordEntry>& entries) {
  std::string text = std::string(header) + "\n";
  for (const DnsRecordEntry& entry : entries) {
    text += std::to_string(entry.interfaceIndex) + " " + (entry.identity.empty() ? "-" : entry.identity) + " ";
    if (entry.setting.servers.empty()) {
      text += "dhcp";
    } else {
      text += "static ";
      for (size_t i = 0; i < entry.setting.servers.size(); ++i)
        text += (i ? "," : "") + entry.setting.servers[i];
    }
    text += "\n";
  }
  return text;
}

bool parseDnsRecord(const std::string& text, std::vector<DnsRecordEntry>& entries) {
  entries.clear();
  std::vector<DnsRecordEntry> parsed;
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (line != header) return false;
      first = false;
      continue;
    }
    if (parsed.size() == dnsRecordLimit) return false;
    DnsRecordEntry entry;
    if (!parseLine(line, entry)) return false;
    for (const DnsRecordEntry& earlier : parsed)
      if (earlier.interfaceIndex == entry.interfaceIndex) return false;
    parsed.push_back(std::move(entry));
  }
  if (first) return false;
  entries = std::move(parsed);
  return true;
}
