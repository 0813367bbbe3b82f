#pragma once

#include <cstddef>
#include <string>

// inflateMode: the format of a compressed body.
constexpr int inflateRaw = 0;   // raw deflate
constexpr int inflateZlib = 1;  // zlib wrapper
constexpr int inflateGzip = 2;  // gzip wrapper

// Decompresses one stream from the start of data. consumed (may be null)
// receives the number of input bytes the stream occupied; callers compare it
// with length to reject trailing bytes. Throws std::exception on a bad mode,
// bad or truncated data, or output that would exceed limit bytes.
std::string inflateBody(const unsigned char* data, size_t length, int mode, size_t* consumed, size_t limit);
