#include <gtest/gtest.h>

#include <memory>

#include "bridge/RateMeter.h"

namespace {

constexpr int64_t second = 1000000000;

struct ManualClock {
  std::shared_ptr<int64_t> now = std::make_shared<int64_t>(100 * second);
  RateMeter::Clock clock() const {
    auto time = now;
    return [time] { return *time; };
  }
  void advance(int64_t by) { *now += by; }
};

TEST(RateMeterTest, FirstCounterIsOneDeltaAndTotalIsTheLastCounter) {
  ManualClock clock;
  RateMeter meter(clock.clock());
  EXPECT_EQ(meter.total(), 0u);
  EXPECT_EQ(meter.rate(), 0u);
  meter.add(3000);
  EXPECT_EQ(meter.total(), 3000u);
  EXPECT_EQ(meter.rate(), 1000u);
}

// A scripted series: one report a second, as "bytecount 1" gives them.
TEST(RateMeterTest, RateIsTheLastThreeSecondsOverThree) {
  ManualClock clock;
  RateMeter meter(clock.clock());
  const uint64_t counters[] = {600, 1200, 2400, 2400, 5400};
  // A sample counts while it is at most three seconds old: four samples at t=3.
  const uint64_t rates[] = {200, 400, 800, 800, 1600};
  for (size_t i = 0; i < 5; ++i) {
    if (i) clock.advance(second);
    meter.add(counters[i]);
    EXPECT_EQ(meter.total(), counters[i]) << i;
    EXPECT_EQ(meter.rate(), rates[i]) << i;
  }
  // A sample exactly three seconds old still counts; a nanosecond later it goes.
  clock.advance(3 * second);
  EXPECT_EQ(meter.rate(), 1000u);
  clock.advance(1);
  EXPECT_EQ(meter.rate(), 0u);
  EXPECT_EQ(meter.total(), 5400u);
}

TEST(RateMeterTest, CounterGoingBackwardsStartsANewBase) {
  ManualClock clock;
  RateMeter meter(clock.clock());
  meter.add(900000);
  clock.advance(4 * second);
  meter.add(300);  // OpenVPN restarted its count inside the tunnel
  EXPECT_EQ(meter.total(), 300u);
  EXPECT_EQ(meter.rate(), 0u);
  clock.advance(second);
  meter.add(3300);
  EXPECT_EQ(meter.rate(), 1000u);
}

TEST(RateMeterTest, CopiesKeepTheirSamples) {
  ManualClock clock;
  RateMeter meter(clock.clock());
  meter.add(1500);
  RateMeter taken = meter;
  clock.advance(second);
  taken.add(4500);
  EXPECT_EQ(taken.rate(), 1500u);
  EXPECT_EQ(meter.rate(), 500u);
}

TEST(RateMeterTest, SteadyClockMoves) {
  int64_t before = RateMeter::steadyNow();
  EXPECT_GE(RateMeter::steadyNow(), before);
  RateMeter meter;
  meter.add(30);
  EXPECT_EQ(meter.rate(), 10u);
}

}  // namespace
