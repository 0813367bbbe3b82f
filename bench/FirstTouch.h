#pragma once

// What the host charges for the first write to freshly mapped memory, so a
// reader can tell the machine from the code: a download or a reply lands in
// memory it has never touched, and some hosts charge far more for that than
// for the copy itself.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace bench {

struct FirstTouch {
  double freshMs;    // copying 64 MiB into memory just mapped
  double touchedMs;  // the same copy into memory already written
  double msPerMiB() const { return (freshMs - touchedMs) / 64; }
};

// Medians of five copies each.
inline FirstTouch measureFirstTouch() {
  const size_t size = size_t(64) << 20;
  std::vector<unsigned char> source(size, 0x3c), touched(size, 0);
  auto time = [](auto&& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };
  std::vector<double> fresh, warm;
  for (int i = 0; i < 5; ++i) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return {-1, -1};
    fresh.push_back(time([&] { std::memcpy(mapped, source.data(), size); }));
    munmap(mapped, size);
    warm.push_back(time([&] { std::memcpy(touched.data(), source.data(), size); }));
  }
  std::sort(fresh.begin(), fresh.end());
  std::sort(warm.begin(), warm.end());
  return {fresh[2], warm[2]};
}

inline void printFirstTouch() {
  const FirstTouch cost = measureFirstTouch();
  std::printf("host first touch: %.2f ms per MiB (64 MiB copied into fresh memory %.1f ms, into touched memory %.1f ms)\n",
              cost.msPerMiB(), cost.freshMs, cost.touchedMs);
}

}  // namespace bench
