#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A stream and the sizes of the reads it arrives in: the first byte says how
// many of the next bytes are piece sizes (at most 15), the rest is the stream;
// a last piece covers whatever the sizes leave. Empty input gives nothing.
struct FuzzPieces {
  std::string stream;
  std::vector<size_t> pieces;
};

inline bool splitFuzzInput(const uint8_t* data, size_t size, FuzzPieces& out) {
  if (size == 0) return false;
  const size_t count = std::min<size_t>(data[0] % 16, size - 1);
  out.pieces.clear();
  for (size_t i = 1; i <= count; ++i) out.pieces.push_back(data[i]);
  out.stream.assign(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
  size_t covered = 0;
  for (size_t piece : out.pieces) covered += piece;
  if (covered < out.stream.size()) out.pieces.push_back(out.stream.size() - covered);
  return true;
}
