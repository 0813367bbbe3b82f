#include "bridge/RouteTableAnswer.h"

#include <stdexcept>

#include "core/Text.h"

namespace {

// 1s from the top, then 0s only: what the route table can hold.
bool contiguous(uint32_t mask) { return (~mask & (~mask + 1)) == 0; }

}  // namespace

std::vector<RouteEntry> readRouteTable(const rapidjson::Value& answer, uint32_t serverIp) {
  std::vector<RouteEntry> routes{{serverIp, 0xFFFFFFFFu, 0}};
  for (const rapidjson::Value& element : jsonTypedMember(answer, "routes", &rapidjson::Value::IsArray).GetArray()) {
    if (!element.IsObject()) throw std::logic_error("routes is in incorrect type");
    const std::string destinationText = jsonGetString(element, "a");
    const std::string maskText = jsonGetString(element, "m");
    const int via = jsonTypedMember(element, "n", &rapidjson::Value::IsInt).GetInt();
    RouteEntry route;
    route.viaVpn = via != 0 ? 1 : 0;
    route.mask = parseIPv4(maskText);
    route.destination = parseIPv4(destinationText);
    // Caught here rather than at the route write, where it would fail the
    // tunnel after it came up.
    if (!contiguous(route.mask)) throw std::invalid_argument("route mask " + maskText + " is not contiguous");
    if ((route.destination & ~route.mask) != 0)
      throw std::invalid_argument("route " + destinationText + " has bits outside its mask " + maskText);
    routes.push_back(route);
  }
  return routes;
}
