// The DNS record a client run leaves for the next start: whatever it holds,
// a parsed record gives only addresses in their one dotted form and no index
// twice, and formats back to the very text it came from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "netcfg/DnsRecord.h"
#include "netcfg/NetText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<DnsRecordEntry> entries;
  if (!parseDnsRecord(text, entries)) {
    FUZZ_CHECK(entries.empty());
    return 0;
  }
  FUZZ_CHECK(entries.size() <= dnsRecordLimit);
  for (size_t i = 0; i < entries.size(); ++i) {
    for (const std::string& server : entries[i].setting.servers) FUZZ_CHECK(ipv4ToString(parseIPv4(server)) == server);
    for (size_t j = 0; j < i; ++j) FUZZ_CHECK(entries[j].interfaceIndex != entries[i].interfaceIndex);
  }
  FUZZ_CHECK(formatDnsRecord(entries) == text);
  return 0;
}
