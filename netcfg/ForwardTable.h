#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The Windows error codes the route code tells apart.
namespace winerror {
inline constexpr uint32_t noError = 0;
inline constexpr uint32_t invalidParameter = 87;
inline constexpr uint32_t insufficientBuffer = 122;
inline constexpr uint32_t objectAlreadyExists = 5010;
}  // namespace winerror

// One row of the IP forwarding table, field for field as MIB_IPFORWARDROW;
// addresses in network byte order.
struct ForwardRow {
  uint32_t forwardDest = 0;
  uint32_t forwardMask = 0;
  uint32_t forwardPolicy = 0;
  uint32_t forwardNextHop = 0;
  uint32_t forwardIfIndex = 0;
  uint32_t forwardType = 0;
  uint32_t forwardProto = 0;
  uint32_t forwardAge = 0;
  uint32_t forwardNextHopAS = 0;
  uint32_t forwardMetric1 = 0;
  uint32_t forwardMetric2 = 0;
  uint32_t forwardMetric3 = 0;
  uint32_t forwardMetric4 = 0;
  uint32_t forwardMetric5 = 0;
};

// The table in the layout GetIpForwardTable fills: a 32-bit row count, then
// the rows of 14 32-bit fields each.
inline constexpr uint32_t forwardTableHeaderSize = 4;
inline constexpr uint32_t forwardRowSize = 56;
void writeForwardTable(const std::vector<ForwardRow>& rows, unsigned char* buffer);

// The IP Helper calls on the host's forwarding table, with their results as
// Windows returns them.
class ForwardTable {
 public:
  virtual ~ForwardTable() = default;
  // GetIpForwardTable(buffer, size, unsorted): buffer may be null; a size too
  // small gives insufficientBuffer with the size needed.
  virtual uint32_t getTable(unsigned char* buffer, uint32_t& size) = 0;
  virtual uint32_t createEntry(const ForwardRow& row) = 0;
  virtual uint32_t deleteEntry(const ForwardRow& row) = 0;
  // GetBestInterface(destination in network order, index).
  virtual uint32_t bestInterface(uint32_t destination, uint32_t& index) = 0;
};

// One snapshot of the table through the sizing call and the read; false when
// either fails. A table that grew between the two is read again a few times.
bool readForwardRows(ForwardTable& table, std::vector<ForwardRow>& rows);

// destination ", " mask " => " next hop "[" index "]", ended by a newline.
std::string forwardRowLine(const ForwardRow& row);
void logForwardRow(const ForwardRow& row);
