#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <exception>
#include <random>
#include <string>

#include "service/InflateBody.h"

namespace {

constexpr size_t noLimit = static_cast<size_t>(-1);

int windowBitsOf(int mode) { return mode == inflateRaw ? -15 : mode == inflateZlib ? 15 : 31; }

const char* modeName(int mode) { return mode == inflateRaw ? "raw" : mode == inflateZlib ? "zlib" : "gzip"; }

std::string compress(const std::string& plain, int mode, int level) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBitsOf(mode), 9, Z_DEFAULT_STRATEGY), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  std::string out;
  int status = Z_OK;
  while (status == Z_OK) {
    unsigned char chunk[4096];
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = deflate(&z, Z_FINISH);
    out.append(reinterpret_cast<const char*>(chunk), sizeof chunk - z.avail_out);
  }
  EXPECT_EQ(status, Z_STREAM_END);
  deflateEnd(&z);
  return out;
}

std::string randomBytes(size_t length, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

// Stored blocks grow by one byte per input byte, so some input gives a
// compressed stream of exactly the wanted size: the size less the block
// header (5) and the wrapper (zlib 6, gzip 18), searched from a little below.
std::string streamOfSize(size_t size, int mode, std::string* plain) {
  const size_t overhead = mode == inflateRaw ? 5 : mode == inflateZlib ? 11 : 23;
  for (size_t n = size - overhead - 4; n < size; ++n) {
    std::string candidate = randomBytes(n, static_cast<unsigned>(size));
    std::string packed = compress(candidate, mode, 0);
    if (packed.size() == size) {
      *plain = candidate;
      return packed;
    }
  }
  ADD_FAILURE() << "no stream of " << size << " bytes";
  return std::string();
}

std::string inflate(const std::string& input, int mode, size_t* consumed, size_t limit = noLimit) {
  return inflateBody(reinterpret_cast<const unsigned char*>(input.data()), input.size(), mode, consumed, limit);
}

bool throws(const std::string& input, int mode, size_t limit = noLimit) {
  size_t consumed = 0;
  try {
    inflate(input, mode, &consumed, limit);
  } catch (const std::exception&) {
    return true;
  }
  return false;
}

TEST(InflateBodyTest, StreamsAroundThePieceSizeDecodeExactlyAndCountOnlyTheirOwnBytes) {
  for (int mode : {inflateRaw, inflateZlib, inflateGzip}) {
    for (size_t size : {1023u, 1024u, 1025u, 2048u}) {
      SCOPED_TRACE(std::string(modeName(mode)) + " " + std::to_string(size));
      std::string plain;
      std::string packed = streamOfSize(size, mode, &plain);
      size_t consumed = 0;
      EXPECT_EQ(inflate(packed, mode, &consumed), plain);
      EXPECT_EQ(consumed, size);

      for (const std::string& trailer : {std::string("T"), std::string(1500, 'T')}) {
        consumed = 0;
        EXPECT_EQ(inflate(packed + trailer, mode, &consumed), plain);
        EXPECT_EQ(consumed, size) << "trailer of " << trailer.size();
      }

      EXPECT_TRUE(throws(packed.substr(0, size - 1), mode)) << "truncated by one byte";
    }
  }
}

TEST(InflateBodyTest, CompressedTextAcrossManyPiecesKeepsItsTrailer) {
  std::string plain;
  for (int i = 0; i < 4000; ++i) plain += "line " + std::to_string(i * 7919 % 10007) + " of the reply\n";
  plain += randomBytes(3000, 5);
  for (int mode : {inflateRaw, inflateZlib, inflateGzip}) {
    std::string packed = compress(plain, mode, 6);
    ASSERT_GT(packed.size(), 5000u);
    size_t consumed = 0;
    EXPECT_EQ(inflate(packed + "trailing", mode, &consumed), plain) << modeName(mode);
    EXPECT_EQ(consumed, packed.size()) << modeName(mode);
  }
}

TEST(InflateBodyTest, DamagedOrMismatchedInputThrows) {
  const std::string plain = "{\"rst\":0,\"list\":[1,2,3,4,5,6,7,8,9]}";
  const std::string raw = compress(plain, inflateRaw, 6);
  const std::string zlib = compress(plain, inflateZlib, 6);
  const std::string gzip = compress(plain, inflateGzip, 6);
  auto flipped = [](std::string s, size_t fromEnd) {
    s[s.size() - fromEnd] ^= 0x01;
    return s;
  };
  struct Case {
    const char* name;
    std::string input;
    int mode;
  } cases[] = {
      {"gzip CRC", flipped(gzip, 8), inflateGzip},
      {"gzip length", flipped(gzip, 1), inflateGzip},
      {"zlib Adler-32", flipped(zlib, 1), inflateZlib},
      {"zlib read as gzip", zlib, inflateGzip},
      {"gzip read as zlib", gzip, inflateZlib},
      {"raw read as zlib", raw, inflateZlib},
      {"zlib read as raw", compress(plain, inflateZlib, 0), inflateRaw},
      {"unknown mode 3", zlib, 3},
      {"unknown mode -1", raw, -1},
      {"empty raw", std::string(), inflateRaw},
      {"empty zlib", std::string(), inflateZlib},
      {"empty gzip", std::string(), inflateGzip},
      {"not compressed", std::string(2000, '\xff'), inflateRaw},
  };
  for (const Case& c : cases) EXPECT_TRUE(throws(c.input, c.mode)) << c.name;
}

TEST(InflateBodyTest, OutputIsBoundedByTheLimit) {
  const std::string zeros(8 << 20, '\0');
  const std::string bomb = compress(zeros, inflateGzip, 9);
  ASSERT_LT(bomb.size(), 16u << 10);
  EXPECT_TRUE(throws(bomb, inflateGzip, 1 << 20));

  const std::string plain = randomBytes(3000, 9);
  const std::string packed = compress(plain, inflateZlib, 6);
  size_t consumed = 0;
  EXPECT_EQ(inflate(packed, inflateZlib, &consumed, plain.size()), plain);
  EXPECT_TRUE(throws(packed, inflateZlib, plain.size() - 1));
}

}  // namespace
