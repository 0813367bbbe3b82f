// inflateBody in each mode under a small limit, and a round trip through
// zlib's own deflate of the input in the same mode.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "service/InflateBody.h"

namespace {

const int kModes[] = {inflateRaw, inflateZlib, inflateGzip};

std::string deflateIn(int mode, const std::string& bytes) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  const int windowBits = mode == inflateRaw ? -15 : mode == inflateZlib ? 15 : 31;
  FUZZ_CHECK(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string out(deflateBound(&z, bytes.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int mode = kModes[data[0] % 3];
  const size_t limit = size_t(data[0] >> 2) * 1024 + 1;
  const unsigned char* stream = data + 1;
  const size_t length = size - 1;

  size_t consumed = 12345;
  try {
    std::string out = inflateBody(stream, length, mode, &consumed, limit);
    FUZZ_CHECK(out.size() <= limit);
    FUZZ_CHECK(consumed <= length);
    // The stream is a prefix of the input: alone, it gives the same.
    size_t again = 0;
    FUZZ_CHECK(inflateBody(stream, consumed, mode, &again, limit) == out && again == consumed);
  } catch (const std::exception&) {
    FUZZ_CHECK(consumed == 0);
  }

  const std::string plain(reinterpret_cast<const char*>(stream), length);
  const std::string packed = deflateIn(mode, plain);
  size_t packedConsumed = 0;
  std::string unpacked = inflateBody(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(), mode,
                                     &packedConsumed, plain.size());
  FUZZ_CHECK(unpacked == plain && packedConsumed == packed.size());
  if (!plain.empty()) {
    try {
      inflateBody(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(), mode, nullptr,
                  plain.size() - 1);
      FUZZ_CHECK(false);
    } catch (const std::exception&) {
    }
  }
  return 0;
}
