// Real echo requests to loopback with the process heap checked after each
// batch of replies. Run under Wine's heap checking (heap_checked_run.sh), which
// catches a write into a freed block as it happens: Wine's echo code wrote each
// reply's status into a block it had freed unless given a completion APC.
// Needs root (Wine opens a raw ICMP socket).
#include <gtest/gtest.h>

#include <memory>

#include "core/RandomGenerator.h"
#include "probe/win/PingerICMP.h"
#include "tests/probe/RecordingSinks.h"

namespace {

TEST(PingerIcmpHeapTest, RealRepliesLeaveTheHeapIntact) {
  auto random = std::make_shared<RandomGenerator>();
  auto icmp = std::make_unique<PingerICMP>(random);
  const int kRounds = 10, kEchoes = 5;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    auto log = std::make_shared<ProbeLog>();
    for (int i = 0; i < kEchoes; ++i) icmp->pingAsync(0x7f000001, std::make_shared<RecordingSink>(log, i));
    ASSERT_TRUE(log->waitForResults(kEchoes, 10000));
    ASSERT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
  }
  // Dropped with echoes out: their replies come to the wait thread alone.
  auto log = std::make_shared<ProbeLog>();
  for (int i = 0; i < kEchoes; ++i) icmp->pingAsync(0x7f000001, std::make_shared<RecordingSink>(log, i));
  icmp.reset();
  auto settle = std::make_unique<PingerICMP>(random);
  for (int i = 0; i < kEchoes; ++i) settle->pingAsync(0x7f000001, std::make_shared<RecordingSink>(log, 100 + i));
  ASSERT_TRUE(log->waitForResults(kEchoes, 10000));
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

}  // namespace
