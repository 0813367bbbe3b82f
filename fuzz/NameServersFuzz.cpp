// An interface's static DNS servers from the registry's "NameServer" text:
// only plain dotted IPv4 addresses come out, each as it stood in the text,
// and they go onto netsh's command line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "netcfg/Dns.h"
#include "netcfg/NetText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t from = 0;
  for (const std::string& server : parseNameServers(text)) {
    FUZZ_CHECK(ipv4ToString(parseIPv4(server)) == server);
    FUZZ_CHECK(server.find_first_not_of("0123456789.") == std::string::npos);
    // In the text's order, as a whole item.
    const size_t at = text.find(server, from);
    FUZZ_CHECK(at != std::string::npos);
    from = at + server.size();
  }
  return 0;
}
