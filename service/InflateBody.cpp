#include "service/InflateBody.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace {

// deflate cannot expand more than about 1032 to 1.
constexpr size_t maxRatio = 1032;
constexpr size_t firstGuess = 4;  // times the input, when the stream announces no size
constexpr size_t maxFeed = size_t(1) << 30;  // zlib counts in 32 bits
constexpr int maxIdlePasses = 6;

// Ends the zlib stream on every way out, exceptions included.
class InflateStream {
 public:
  explicit InflateStream(int windowBits) {
    std::memset(&stream_, 0, sizeof stream_);
    if (inflateInit2(&stream_, windowBits) != Z_OK) throw std::exception();
  }
  ~InflateStream() { inflateEnd(&stream_); }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  z_stream* operator->() { return &stream_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_;
};

int windowBitsOf(int mode) {
  switch (mode) {
    case inflateRaw: return -15;
    case inflateZlib: return 15;
    case inflateGzip: return 31;
    default: throw std::exception();
  }
}

// What the output is first sized to: a gzip stream's trailer tells its length
// (modulo 2^32; trailing bytes make it a guess, which is all it is used for).
size_t initialOutput(const unsigned char* data, size_t length, int mode, size_t limit) {
  size_t guess = length > size_t(-1) / firstGuess ? size_t(-1) : length * firstGuess;
  if (mode == inflateGzip && length >= 18) {
    const unsigned char* tail = data + length - 4;
    guess = size_t(tail[0]) | size_t(tail[1]) << 8 | size_t(tail[2]) << 16 | size_t(tail[3]) << 24;
  }
  const size_t most = length > size_t(-1) / maxRatio ? size_t(-1) : length * maxRatio + 64;
  return std::min({guess, most, limit});
}

}  // namespace

// Inflates straight from the whole input into the result; errors and results
// are those of any other piece size.
std::string inflateBody(const unsigned char* data, size_t length, int mode, size_t* consumedOut, size_t limit) {
  if (consumedOut) *consumedOut = 0;
  const int windowBits = windowBitsOf(mode);
  InflateStream stream(windowBits);
  std::string result;
  try {
    result.resize(initialOutput(data, length, mode, limit));
  } catch (const std::bad_alloc&) {
    // The announced size is only a hint: the output grows as it comes instead.
  }
  size_t produced = 0;
  size_t fed = 0;
  unsigned char spare;  // takes one byte past the limit, which then throws
  int idlePasses = 0;
  for (;;) {
    if (stream->avail_in == 0 && fed < length) {
      const size_t feed = std::min(maxFeed, length - fed);
      stream->next_in = const_cast<unsigned char*>(data + fed);
      stream->avail_in = static_cast<uInt>(feed);
      fed += feed;
    }
    if (produced == result.size() && produced < limit)
      result.resize(produced + std::min(limit - produced, std::max<size_t>(produced, 4096)));
    const size_t room = std::min(maxFeed, result.size() - produced);
    stream->next_out = room ? reinterpret_cast<unsigned char*>(&result[produced]) : &spare;
    stream->avail_out = room ? static_cast<uInt>(room) : 1;
    const int status = inflate(stream.get(), Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) throw std::exception();
    if (!room && stream->avail_out == 0) throw std::exception();
    const size_t made = room ? room - stream->avail_out : 0;
    produced += made;
    if (status == Z_STREAM_END) break;
    if (fed == length && made == 0 && stream->avail_in == 0 && ++idlePasses >= maxIdlePasses)
      throw std::exception();
  }
  result.resize(produced);
  if (result.capacity() > 2 * produced + 4096) result.shrink_to_fit();  // the hint was far too large
  if (consumedOut) *consumedOut = fed - stream->avail_in;
  return result;
}
