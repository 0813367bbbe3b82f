#pragma once

#include "netcfg/ForwardTable.h"

// The host's forwarding table through the IP Helper API.
class IpHelperForwardTable : public ForwardTable {
 public:
  uint32_t getTable(unsigned char* buffer, uint32_t& size) override;
  uint32_t createEntry(const ForwardRow& row) override;
  uint32_t deleteEntry(const ForwardRow& row) override;
  uint32_t bestInterface(uint32_t destination, uint32_t& index) override;
};
