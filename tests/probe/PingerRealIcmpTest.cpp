// Real echo requests and name lookups under Wine, to loopback only. Needs root
// (Wine opens a raw ICMP socket). In an executable of its own: Wine's echo
// code is the one part here that may write memory the test does not own.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/RandomGenerator.h"
#include "probe/Pinger.h"
#include "tests/probe/RecordingSinks.h"

namespace {

constexpr uint32_t loopback = 0x7f000001;

std::shared_ptr<RandomGenerator> random() {
  static auto generator = std::make_shared<RandomGenerator>();
  return generator;
}

// As for the batch below, an echo that misses its 1 s limit on a loaded
// machine under Wine gets a second try; one that fails both fails the test.
TEST(PingerRealIcmpTest, LoopbackRepliesWithALatency) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    std::vector<ProbeLog::Report> reports;
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto log = std::make_shared<ProbeLog>();
      auto pinger = std::make_shared<Pinger>(random());
      auto sink = std::make_shared<RecordingSink>(log, 0);
      pinger->ping(host, sink, sink);
      ASSERT_TRUE(log->waitForResults(1, 5000));
      reports = log->of(0);
      ASSERT_EQ(reports.size(), 2u);
      if (reports[1].kind == ProbeLog::Replied) break;
    }
    EXPECT_EQ(reports[0].kind, ProbeLog::Resolved);
    EXPECT_EQ(reports[0].value, loopback);
    EXPECT_EQ(reports[1].kind, ProbeLog::Replied);
    EXPECT_LT(reports[1].value, 1000u);
    EXPECT_NE(reports[0].thread, reports[1].thread);
  }
}

// A loaded machine now and then lets one real echo miss its 1 s limit under
// Wine, so the batch gets a second try; servers a wait does not cover fail
// both.
TEST(PingerRealIcmpTest, MoreServersThanOneWaitCoversAllReply) {
  const int kServers = 40;
  std::string failed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto log = std::make_shared<ProbeLog>();
    auto pinger = std::make_shared<Pinger>(random());
    for (int i = 0; i < kServers; ++i) {
      auto sink = std::make_shared<RecordingSink>(log, i);
      pinger->ping("127.0.0.1", sink, sink);
    }
    ASSERT_TRUE(log->waitForResults(kServers, 15000));
    failed.clear();
    for (int i = 0; i < kServers; ++i) {
      auto reports = log->of(i);
      ASSERT_EQ(reports.size(), 2u) << i;
      if (reports[1].kind != ProbeLog::Replied) failed += " " + std::to_string(i);
    }
    if (failed.empty()) return;
  }
  ADD_FAILURE() << "no reply, twice, for servers" << failed;
}

TEST(PingerRealIcmpTest, DestroyedWithLookupsAndEchoesInFlightEndsSilently) {
  for (int servers : {0, 1, 31, 32, 100}) {
    for (int waitMs : {0, 5, 20}) {
      SCOPED_TRACE(::testing::Message() << servers << " servers, destroyed after " << waitMs << " ms");
      auto log = std::make_shared<ProbeLog>();
      auto pinger = std::make_shared<Pinger>(random());
      std::vector<std::weak_ptr<RecordingSink>> sinks;
      for (int i = 0; i < servers; ++i) {
        auto sink = std::make_shared<RecordingSink>(log, i);
        sinks.push_back(sink);
        pinger->ping("127.0.0.1", sink, sink);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
      const auto start = std::chrono::steady_clock::now();
      pinger.reset();
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
      for (const auto& sink : sinks) EXPECT_TRUE(sink.expired());
      const size_t atEnd = log->count();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(log->count(), atEnd);
      for (int i = 0; i < servers; ++i) EXPECT_LE(log->of(i).size(), 2u) << i;
    }
  }
}

}  // namespace
