// The OpenVPN management stream: split into lines (whole and in the pieces
// the input's head names, with the same lines both ways) and each line
// classified.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzPieces.h"
#include "netcfg/NetText.h"
#include "tunnel/ManagementProtocol.h"

namespace {

std::vector<std::string> lines(const std::string& stream, const std::vector<size_t>& pieces, bool& tooLong) {
  ManagementLineBuffer buffer;
  std::vector<std::string> out;
  size_t at = 0;
  tooLong = false;
  for (size_t piece : pieces) {
    const size_t length = std::min(piece, stream.size() - at);
    buffer.append(stream.data() + at, length);
    at += length;
    std::string line;
    for (;;) {
      const ManagementLineBuffer::Next next = buffer.next(line);
      if (next == ManagementLineBuffer::Next::pending) break;
      if (next == ManagementLineBuffer::Next::tooLong) {
        tooLong = true;
        return out;
      }
      out.push_back(line);
    }
  }
  return out;
}

void checkLine(const std::string& text) {
  FUZZ_CHECK(!text.empty() && text.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(text.size() <= ManagementLineBuffer::maxLineLength);
  const ManagementLine line = classifyManagementLine(text);
  if (line.kind == ManagementLineKind::byteCount) {
    uint64_t in = 0, out = 0;
    FUZZ_CHECK(parseByteCount(line.value, in, out) && in == line.bytesIn && out == line.bytesOut);
    FUZZ_CHECK(!line.toTranscript);
  }
  if (line.gatewayValid) FUZZ_CHECK(ipv4ToString(line.gateway) == line.gatewayText);
  if (line.addressValid) {
    FUZZ_CHECK(ipv4ToString(line.ip) == line.ipText);
    FUZZ_CHECK(ipv4ToString(line.mask) == line.maskText);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzPieces input;
  if (!splitFuzzInput(data, size, input)) return 0;
  const std::string& stream = input.stream;
  const std::vector<size_t>& pieces = input.pieces;

  bool wholeTooLong = false, splitTooLong = false;
  const std::vector<std::string> whole = lines(stream, {stream.size()}, wholeTooLong);
  const std::vector<std::string> split = lines(stream, pieces, splitTooLong);
  FUZZ_CHECK(whole == split && wholeTooLong == splitTooLong);
  for (const std::string& line : whole) checkLine(line);
  return 0;
}
