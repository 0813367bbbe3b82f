#pragma once

// The hand-off block the client gives the updater through shared memory. Its
// layout is read by updaters of other releases, so it never changes: no header,
// every number a little-endian u32, a string a u32 byte count and its UTF-8
// bytes, a content key 20 raw bytes, in this order:
//   base folder, main program path, main key,
//   delete count, delete paths,
//   write count, (path, key) pairs,
//   content count, (key, u32 length, bytes) entries,
//   the client's process handle as a u32, valid inside the updater.
// Header-only and free of the Windows API: the client's writer and the
// updater's reader both include it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace handoff {

// The block's shared memory, one per machine.
inline constexpr const wchar_t* kMappingName = L"Global\\KWEL_GUI_GUPD";

// A content's key: its SHA-1.
constexpr size_t kKeySize = 20;
using ContentKey = std::array<uint8_t, kKeySize>;

inline void storeU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint32_t loadU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

// The handle travels as 32 bits on every build: 64-bit Windows keeps handle
// values within 32 bits and sign-extends them, so a truncated value comes back
// whole.
inline uintptr_t blockValueToHandle(uint32_t value) {
  return static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

// std::range_error for a value that would not come back whole.
inline uint32_t handleToBlockValue(uintptr_t handle) {
  uint32_t value = static_cast<uint32_t>(handle);
  if (blockValueToHandle(value) != handle) throw std::range_error("process handle does not fit the update block");
  return value;
}

}  // namespace handoff
