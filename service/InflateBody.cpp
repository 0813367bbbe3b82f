#include "service/InflateBody.h"

#include <zlib.h>

#include <cstring>
#include <exception>

namespace {

constexpr size_t pieceSize = 1024;
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

}  // namespace

std::string inflateBody(const unsigned char* data, size_t length, int mode, size_t* consumedOut, size_t limit) {
  if (consumedOut) *consumedOut = 0;
  const int windowBits = windowBitsOf(mode);
  std::string result;
  size_t consumed = 0;
  unsigned char input[pieceSize];
  unsigned char output[pieceSize];

  size_t pieceLength = 0;
  auto takePiece = [&] {
    pieceLength = length < pieceSize ? length : pieceSize;
    if (pieceLength) std::memcpy(input, data, pieceLength);
    data += pieceLength;
    length -= pieceLength;
    consumed += pieceLength;
  };

  // Inflates once; true at the end of the stream. Output beyond the limit
  // throws before it is kept, so a small bomb cannot exhaust memory.
  int idlePasses = 0;
  InflateStream* current = nullptr;
  auto pass = [&](bool lastPiece) {
    z_stream* z = current->get();
    z->next_out = output;
    z->avail_out = pieceSize;
    int status = inflate(z, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) throw std::exception();
    size_t produced = pieceSize - z->avail_out;
    if (produced > limit - result.size()) throw std::exception();
    result.append(reinterpret_cast<const char*>(output), produced);
    if (status == Z_STREAM_END) return true;
    if (lastPiece && produced == 0 && z->avail_in == 0 && ++idlePasses >= maxIdlePasses) throw std::exception();
    return false;
  };

  takePiece();
  InflateStream stream(windowBits);
  current = &stream;
  stream->next_in = input;
  stream->avail_in = static_cast<uInt>(pieceLength);

  bool ended = false;
  while (pieceLength == pieceSize && !ended) {
    ended = pass(false);
    if (!ended && stream->avail_in == 0) {
      takePiece();
      stream->next_in = input;
      stream->avail_in = static_cast<uInt>(pieceLength);
    }
  }
  while (!ended) ended = pass(true);

  // Bytes of the last piece after the stream's end are not the stream's.
  consumed -= stream->avail_in;
  if (consumedOut) *consumedOut = consumed;
  return result;
}
