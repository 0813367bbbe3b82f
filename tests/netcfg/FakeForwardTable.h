#pragma once

#include <cstdint>
#include <vector>

#include "netcfg/ForwardTable.h"
#include "netcfg/NetText.h"

// The forwarding table as the IP Helper calls treat it: a create needs a next
// hop on the subnet of the interface it names and a metric no lower than that
// interface's, and fails for a route already there; the read reports the size
// it needs. Addresses given to the set-up calls are in host order.
class FakeForwardTable : public ForwardTable {
 public:
  static constexpr uint32_t errorNotFound = 1168;
  static constexpr uint32_t errorNetworkUnreachable = 1231;

  struct Interface {
    uint32_t index;
    uint32_t address;
    uint32_t mask;
    uint32_t minimumMetric;
  };

  void addInterface(uint32_t index, uint32_t address, uint32_t mask, uint32_t minimumMetric = 1) {
    interfaces.push_back({index, address, mask, minimumMetric});
  }
  static ForwardRow route(uint32_t destination, uint32_t mask, uint32_t nextHop, uint32_t ifIndex = 0,
                          uint32_t metric = 1) {
    ForwardRow row;
    row.forwardDest = toNetworkOrder(destination);
    row.forwardMask = toNetworkOrder(mask);
    row.forwardNextHop = toNetworkOrder(nextHop);
    row.forwardIfIndex = ifIndex;
    row.forwardType = 4;
    row.forwardProto = 3;
    row.forwardMetric1 = metric;
    return row;
  }

  uint32_t getTable(unsigned char* buffer, uint32_t& size) override {
    ++tableReads;
    if (failReadAt == tableReads) return readFailure;
    const uint32_t needed = forwardTableHeaderSize + static_cast<uint32_t>(rows.size()) * forwardRowSize;
    if (!buffer || size < needed) {
      size = needed;
      if (growthsLeft > 0) {
        --growthsLeft;
        rows.push_back(route(0x0B000000 + static_cast<uint32_t>(rows.size()), 0xFFFFFFFF, growthNextHop, 9));
      }
      return winerror::insufficientBuffer;
    }
    writeForwardTable(rows, buffer);
    return winerror::noError;
  }

  uint32_t createEntry(const ForwardRow& row) override {
    createCalls.push_back(row);
    const Interface* on = interfaceByIndex(row.forwardIfIndex);
    if (!on || !onSubnet(*on, fromNetworkOrder(row.forwardNextHop))) return winerror::invalidParameter;
    if (row.forwardMetric1 < on->minimumMetric) return winerror::invalidParameter;
    if (find(row) != rows.end()) return winerror::objectAlreadyExists;
    rows.push_back(row);
    return winerror::noError;
  }

  uint32_t deleteEntry(const ForwardRow& row) override {
    deleteCalls.push_back(row);
    if (refuseDeletion && fromNetworkOrder(row.forwardDest) == refusedDestination) return winerror::invalidParameter;
    auto found = find(row);
    if (found == rows.end()) return errorNotFound;
    rows.erase(found);
    return winerror::noError;
  }

  // The interface whose subnet holds the address, else that of the default
  // route with the lowest metric.
  uint32_t bestInterface(uint32_t destination, uint32_t& index) override {
    bestInterfaceCalls.push_back(destination);
    for (const Interface& on : interfaces) {
      if (onSubnet(on, fromNetworkOrder(destination))) {
        index = on.index;
        return winerror::noError;
      }
    }
    const ForwardRow* best = nullptr;
    for (const ForwardRow& row : rows) {
      if (row.forwardDest == 0 && row.forwardMask == 0 && (!best || row.forwardMetric1 < best->forwardMetric1)) best = &row;
    }
    if (!best) return errorNetworkUnreachable;
    index = best->forwardIfIndex;
    return winerror::noError;
  }

  std::vector<Interface> interfaces;
  std::vector<ForwardRow> rows;
  // Rows that appear right after a sizing call, one per call.
  int growthsLeft = 0;
  uint32_t growthNextHop = 0x0A000001;
  // The read call (counted from 1) that fails with readFailure; 0: none.
  int failReadAt = 0;
  uint32_t readFailure = 50;
  // A row whose deletion is refused (host order).
  bool refuseDeletion = false;
  uint32_t refusedDestination = 0;

  int tableReads = 0;
  std::vector<ForwardRow> createCalls;
  std::vector<ForwardRow> deleteCalls;
  std::vector<uint32_t> bestInterfaceCalls;

 private:
  static bool onSubnet(const Interface& on, uint32_t address) { return (address & on.mask) == (on.address & on.mask); }
  const Interface* interfaceByIndex(uint32_t index) const {
    for (const Interface& on : interfaces) {
      if (on.index == index) return &on;
    }
    return nullptr;
  }
  std::vector<ForwardRow>::iterator find(const ForwardRow& row) {
    for (auto it = rows.begin(); it != rows.end(); ++it) {
      if (it->forwardDest == row.forwardDest && it->forwardMask == row.forwardMask &&
          it->forwardNextHop == row.forwardNextHop && it->forwardIfIndex == row.forwardIfIndex)
        return it;
    }
    return rows.end();
  }
};
