#include "netcfg/win/IpHelperForwardTable.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>
#include <cstring>

static_assert(sizeof(MIB_IPFORWARDROW) == forwardRowSize && sizeof(ForwardRow) == forwardRowSize,
              "ForwardRow mirrors MIB_IPFORWARDROW");
static_assert(offsetof(MIB_IPFORWARDTABLE, table) == forwardTableHeaderSize, "rows follow the count");
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardMetric1) == offsetof(ForwardRow, forwardMetric1), "same field order");

namespace {

MIB_IPFORWARDROW toMib(const ForwardRow& row) {
  MIB_IPFORWARDROW mib;
  std::memcpy(&mib, &row, sizeof mib);
  return mib;
}

}  // namespace

uint32_t IpHelperForwardTable::getTable(unsigned char* buffer, uint32_t& size) {
  ULONG inOut = size;
  DWORD result = GetIpForwardTable(reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer), &inOut, FALSE);
  size = inOut;
  return result;
}

uint32_t IpHelperForwardTable::createEntry(const ForwardRow& row) {
  MIB_IPFORWARDROW mib = toMib(row);
  return CreateIpForwardEntry(&mib);
}

uint32_t IpHelperForwardTable::deleteEntry(const ForwardRow& row) {
  MIB_IPFORWARDROW mib = toMib(row);
  return DeleteIpForwardEntry(&mib);
}

uint32_t IpHelperForwardTable::bestInterface(uint32_t destination, uint32_t& index) {
  DWORD found = 0;
  DWORD result = GetBestInterface(destination, &found);
  if (result == NO_ERROR) index = found;
  return result;
}
