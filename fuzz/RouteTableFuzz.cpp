// The connect attempt's route list from the "routeTable" answer: either the
// whole list, starting with the server's own host route, of routes the route
// table can hold, or a refusal (std::logic_error; any other escapes and ends
// the run).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/RouteTableAnswer.h"
#include "core/Json.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rapidjson::Document answer;
  if (!parseJsonText(answer, std::string(reinterpret_cast<const char*>(data), size))) return 0;
  const uint32_t server = 0xC0A80001;
  try {
    std::vector<RouteEntry> routes = readRouteTable(answer, server);
    FUZZ_CHECK(!routes.empty());
    FUZZ_CHECK(routes[0].destination == server && routes[0].mask == 0xFFFFFFFFu && routes[0].viaVpn == 0);
    for (const RouteEntry& route : routes) {
      const uint32_t hostBits = ~route.mask;
      FUZZ_CHECK((hostBits & (hostBits + 1)) == 0);  // contiguous
      FUZZ_CHECK((route.destination & hostBits) == 0);
      FUZZ_CHECK(route.viaVpn <= 1);
    }
  } catch (const std::logic_error&) {
  }
  return 0;
}
