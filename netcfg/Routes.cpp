#include "netcfg/Routes.h"

#include <queue>
#include <stdexcept>
#include <utility>

#include "core/DebugLog.h"
#include "netcfg/NetText.h"

namespace {

constexpr uint32_t typeDirect = 3;    // MIB_IPROUTE_TYPE_DIRECT
constexpr uint32_t typeIndirect = 4;  // MIB_IPROUTE_TYPE_INDIRECT
constexpr uint32_t protoNetMgmt = 3;  // MIB_IPPROTO_NETMGMT
constexpr uint32_t metricUnused = 0xFFFFFFFF;
constexpr uint32_t lastMetric = 0x4000;

bool shouldDelete(const ForwardRow& row, const VpnInterfaceInfo& record) {
  const uint32_t destination = fromNetworkOrder(row.forwardDest);
  const uint32_t mask = fromNetworkOrder(row.forwardMask);
  const uint32_t nextHop = fromNetworkOrder(row.forwardNextHop);
  if (nextHop == record.defaultGateway && (destination != 0 || mask != 0)) return true;
  const uint32_t subnet = record.ip & record.mask;
  return (nextHop & record.mask) == subnet && (destination & record.mask) != subnet;
}

// A route that is already in the table is as good as one just written.
bool created(uint32_t result) { return result == winerror::noError || result == winerror::objectAlreadyExists; }

// The metric that the row was written at, or 0 when every metric up to
// lastMetric was refused.
uint32_t createOnLadder(ForwardTable& table, ForwardRow& row) {
  for (uint32_t metric = row.forwardMetric1; metric <= lastMetric; ++metric) {
    row.forwardMetric1 = metric;
    for (uint32_t type : {typeIndirect, typeDirect}) {
      row.forwardType = type;
      if (created(table.createEntry(row))) return metric;
    }
  }
  return 0;
}

}  // namespace

bool flushRouteTable(ForwardTable& table, const VpnInterfaceInfo* record) {
  if (!record) return true;
  writeDebugLog("Flushing route table\n");
  std::vector<ForwardRow> rows;
  if (!readForwardRows(table, rows)) return false;
  for (const ForwardRow& row : rows) {
    if (!shouldDelete(row, *record)) continue;
    logForwardRow(row);
    table.deleteEntry(row);
  }
  writeDebugLog("Flush Done\n");
  return true;
}

bool writeRouteTable(ForwardTable& table, const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                     const VpnInterfaceInfo& record) {
  writeDebugLog("Writing route table\n");
  uint32_t metric = 1;
  for (const RouteEntry& route : routes) {
    ForwardRow row;
    row.forwardDest = toNetworkOrder(route.destination);
    row.forwardMask = toNetworkOrder(route.mask);
    row.forwardNextHop = toNetworkOrder(route.viaVpn ? vpnGateway : record.defaultGateway);
    if (table.bestInterface(row.forwardNextHop, row.forwardIfIndex) != winerror::noError) {
      writeDebugLog("GetBestInterface failed:\n");
      logForwardRow(row);
      return false;
    }
    row.forwardType = typeIndirect;
    row.forwardProto = protoNetMgmt;
    row.forwardMetric1 = metric;
    row.forwardMetric2 = row.forwardMetric3 = row.forwardMetric4 = row.forwardMetric5 = metricUnused;
    logForwardRow(row);
    if (created(table.createEntry(row))) continue;
    metric = createOnLadder(table, row);
    if (metric == 0) {
      writeDebugLog("CreateIpForwardEntry exhausted:\n");
      logForwardRow(row);
      return false;
    }
  }
  writeDebugLog("Writing done\n");
  return true;
}

uint32_t defaultGateway(ForwardTable& table) {
  std::vector<ForwardRow> rows;
  if (!readForwardRows(table, rows)) throw std::runtime_error("forwarding table unreadable");
  // (metric, position): the lowest metric on top, the earlier row among equals.
  using Candidate = std::pair<std::pair<uint32_t, size_t>, uint32_t>;
  std::priority_queue<Candidate, std::vector<Candidate>, std::greater<Candidate>> candidates;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ForwardRow& row = rows[i];
    if (row.forwardDest != 0 || row.forwardMask != 0 || row.forwardNextHop == 0) continue;
    const uint32_t nextHop = fromNetworkOrder(row.forwardNextHop);
    writeDebugLog("Gateway found: " + ipv4ToString(nextHop) + ", metric=" + std::to_string(row.forwardMetric1) + "\n");
    candidates.push({{row.forwardMetric1, i}, nextHop});
  }
  if (candidates.empty()) throw std::runtime_error("no default route");
  return candidates.top().second;
}
