#include "netcfg/ForwardTable.h"

#include <cstring>

#include "core/DebugLog.h"
#include "netcfg/NetText.h"

namespace {

constexpr int readAttempts = 4;
static_assert(sizeof(ForwardRow) == forwardRowSize, "a row is 14 fields without padding");

// The rows of a filled buffer of size bytes; false when its count claims more
// rows than the buffer holds.
bool parseForwardTable(const unsigned char* buffer, uint32_t size, std::vector<ForwardRow>& rows) {
  if (size < forwardTableHeaderSize) return false;
  uint32_t count;
  std::memcpy(&count, buffer, 4);
  if (count > (size - forwardTableHeaderSize) / forwardRowSize) return false;
  rows.clear();
  rows.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    ForwardRow row;
    std::memcpy(&row, buffer + forwardTableHeaderSize + i * forwardRowSize, forwardRowSize);
    rows.push_back(row);
  }
  return true;
}

}  // namespace

void writeForwardTable(const std::vector<ForwardRow>& rows, unsigned char* buffer) {
  const uint32_t count = static_cast<uint32_t>(rows.size());
  std::memcpy(buffer, &count, 4);
  for (uint32_t i = 0; i < count; ++i) {
    std::memcpy(buffer + forwardTableHeaderSize + i * forwardRowSize, &rows[i], forwardRowSize);
  }
}

bool readForwardRows(ForwardTable& table, std::vector<ForwardRow>& rows) {
  for (int attempt = 0; attempt < readAttempts; ++attempt) {
    uint32_t size = 0;
    if (table.getTable(nullptr, size) != winerror::insufficientBuffer || size == 0) return false;
    // Whole 32-bit words, so the rows can be read in place.
    std::vector<uint32_t> buffer((size + 3) / 4);
    uint32_t filled = size;
    uint32_t result = table.getTable(reinterpret_cast<unsigned char*>(buffer.data()), filled);
    if (result == winerror::insufficientBuffer) continue;  // the table grew in between
    if (result != winerror::noError) return false;
    return parseForwardTable(reinterpret_cast<const unsigned char*>(buffer.data()), size, rows);
  }
  return false;
}

std::string forwardRowLine(const ForwardRow& row) {
  return ipv4ToString(fromNetworkOrder(row.forwardDest)) + ", " + ipv4ToString(fromNetworkOrder(row.forwardMask)) +
         " => " + ipv4ToString(fromNetworkOrder(row.forwardNextHop)) + "[" + std::to_string(row.forwardIfIndex) + "]\n";
}

void logForwardRow(const ForwardRow& row) { writeDebugLog(forwardRowLine(row)); }
