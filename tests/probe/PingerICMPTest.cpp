#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/RandomGenerator.h"
#include "probe/Pinger.h"
#include "probe/win/PingerICMP.h"
#include "tests/probe/FakeIcmpEchoApi.h"
#include "tests/probe/RecordingSinks.h"

namespace {

using Clock = std::chrono::steady_clock;
using Behaviour = FakeIcmpEchoApi::Behaviour;
constexpr uint32_t target = 0x7f000001;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::shared_ptr<RandomGenerator> random() {
  static auto generator = std::make_shared<RandomGenerator>();
  return generator;
}

struct Probe {
  explicit Probe(Behaviour behaviour)
      : api(std::make_shared<FakeIcmpEchoApi>(behaviour)),
        log(std::make_shared<ProbeLog>()),
        icmp(std::make_unique<PingerICMP>(random(), api)) {}
  void ping(int server, uint32_t address = target) {
    icmp->pingAsync(address, std::make_shared<RecordingSink>(log, server));
  }
  std::shared_ptr<FakeIcmpEchoApi> api;
  std::shared_ptr<ProbeLog> log;
  std::unique_ptr<PingerICMP> icmp;
};

struct OutcomeCase {
  const char* name;
  Behaviour behaviour;
  bool replied;
  long long atLeastMs, atMostMs;  // when the one report comes
};

Behaviour make(void (*edit)(Behaviour&)) {
  Behaviour b;
  edit(b);
  return b;
}

class PingerICMPOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(PingerICMPOutcomeTest, ReportsExactlyOnce) {
  const OutcomeCase& c = GetParam();
  Probe probe(c.behaviour);
  const auto start = Clock::now();
  probe.ping(0);
  ASSERT_TRUE(probe.log->waitForResults(1, 5000));
  const long long at = msSince(start);
  // The one-second timer and the echo's own time-out both pass.
  std::this_thread::sleep_for(std::chrono::milliseconds(c.atMostMs < 900 ? 1200 : 300));
  auto reports = probe.log->of(0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, c.replied ? ProbeLog::Replied : ProbeLog::Failed);
  EXPECT_GE(at, c.atLeastMs);
  EXPECT_LE(at, c.atMostMs);
  if (c.replied) {
    EXPECT_GE(reports[0].value, uint32_t(c.behaviour.completeAfterMs));
    EXPECT_LE(reports[0].value, uint32_t(at));
  }
  probe.icmp.reset();
  // a silent echo is still out at the stop: its handle closes once it is back
  EXPECT_TRUE(probe.api->waitIcmpHandlesClosed());
  EXPECT_EQ(probe.api->freedBeforeCompletion(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PingerICMPOutcomeTest,
    ::testing::Values(
        OutcomeCase{"Reply", make([](Behaviour& b) { b.completeAfterMs = 30; }), true, 30, 800},
        // an error reply is counted by the system but carries no latency
        OutcomeCase{"UnreachableReply", make([](Behaviour& b) { b.status = IP_DEST_HOST_UNREACHABLE; }), false, 0, 800},
        OutcomeCase{"TimedOutReply", make([](Behaviour& b) { b.status = IP_REQ_TIMED_OUT; }), false, 0, 800},
        // the echo's own time-out signals the event with nothing in the buffer
        OutcomeCase{"NoReply", make([](Behaviour& b) { b.withReply = false; }), false, 0, 800},
        // the reply event never comes: the one-second timer decides
        OutcomeCase{"Silent", make([](Behaviour& b) { b.completeAfterMs = 1600; }), false, 900, 1500},
        OutcomeCase{"SendFails", make([](Behaviour& b) { b.sendFails = true; }), false, 0, 800},
        OutcomeCase{"CreateFails", make([](Behaviour& b) { b.createFails = true; }), false, 0, 800}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PingerICMPTest, SendsThirtyTwoRandomBytesWithABufferOfTheDocumentedSize) {
  Probe probe(Behaviour{});
  probe.ping(0, 0x7f000001);
  probe.ping(1, 0x7f010203);
  ASSERT_TRUE(probe.log->waitForResults(2));
  auto echoes = probe.api->echoes();
  ASSERT_EQ(echoes.size(), 2u);
  // ICMP_ECHO_REPLY, the data, 8 bytes for an ICMP error and the IO_STATUS_BLOCK
#ifdef _WIN64
  const DWORD documented = 40 + 32 + 8 + 16;
#else
  const DWORD documented = 28 + 32 + 8 + 8;
#endif
  for (const auto& echo : echoes) {
    EXPECT_EQ(echo.replySize, documented);
    EXPECT_EQ(echo.request.size(), 32u);
    EXPECT_EQ(echo.timeoutMs, 1000u);
  }
  // network byte order on the wire, newest first in the list does not matter
  std::vector<IPAddr> destinations{echoes[0].destination, echoes[1].destination};
  std::sort(destinations.begin(), destinations.end());
  std::vector<IPAddr> expected{htonl(0x7f000001), htonl(0x7f010203)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(destinations, expected);
  EXPECT_NE(echoes[0].request, echoes[1].request);
}

// The timer wins: "failed" at about one second, yet the buffer the system
// still owns is written later, and the probe is gone only after that.
TEST(PingerICMPTest, AnEchoOutlastingTheTimerKeepsItsBufferUntilItCompletes) {
  Behaviour late;
  late.completeAfterMs = 1500;
  Probe probe(late);
  probe.ping(0);
  ASSERT_TRUE(probe.log->waitForResults(1, 3000));
  EXPECT_EQ(probe.api->completed(), 0u);
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (probe.api->completed() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(probe.api->completed(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(probe.api->freedBeforeCompletion(), 0);
  EXPECT_EQ(probe.log->of(0).size(), 1u);
  EXPECT_EQ(probe.api->openIcmpHandles(), 0) << "the probe should end once its echo has";
}

// The system keeps every echo until the test lets it go: the stop must not
// wait for that, must free nothing the system still holds, and must free all
// of it once given back.
TEST(PingerICMPTest, StoppingReturnsWhileTheSystemHoldsEchoesAndFreesThemWhenGivenBack) {
  Behaviour held;
  held.completeAfterMs = -1;
  Probe probe(held);
  for (int i = 0; i < 5; ++i) probe.ping(i);
  ASSERT_TRUE(probe.api->waitSent(5));
  probe.icmp.reset();
  EXPECT_EQ(probe.api->completed(), 0u) << "returned only after the system gave the echoes back";
  EXPECT_EQ(probe.api->openIcmpHandles(), 5);
  for (const auto& echo : probe.api->echoes()) EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, echo.reply));
  probe.api->release();
  ASSERT_TRUE(probe.api->waitIcmpHandlesClosed()) << "the echoes given back after the stop are never freed";
  EXPECT_EQ(probe.api->completed(), 5u);
  EXPECT_EQ(probe.api->freedBeforeCompletion(), 0);
  EXPECT_EQ(probe.log->count(), 0u);
}

// The same through a Pinger, as the main controller drops one: its destructor
// returns with the echoes still out, and no sink hears of them.
TEST(PingerICMPTest, APingerDroppedWithEchoesOutReturnsAndReportsNothing) {
  Behaviour held;
  held.completeAfterMs = -1;
  auto api = std::make_shared<FakeIcmpEchoApi>(held);
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_unique<Pinger>([api] { return std::unique_ptr<PingEcho>(new PingerICMP(random(), api)); },
                                         [](const std::string&) { return target; });
  std::vector<std::weak_ptr<RecordingSink>> sinks;
  for (int i = 0; i < 3; ++i) {
    auto sink = std::make_shared<RecordingSink>(log, i);
    sinks.push_back(sink);
    pinger->ping("server" + std::to_string(i), sink, sink);
  }
  ASSERT_TRUE(api->waitSent(3));
  pinger.reset();
  EXPECT_EQ(api->completed(), 0u);
  for (const auto& sink : sinks) EXPECT_TRUE(sink.expired());
  api->release();
  ASSERT_TRUE(api->waitIcmpHandlesClosed());
  EXPECT_EQ(api->freedBeforeCompletion(), 0);
  EXPECT_EQ(ProbeLog::resultCount(log->reports()), 0u);
}

// The system queues each echo's completion APC to the thread that sent it;
// the wait thread must run every one, also for echoes given back after a stop
// (Wine keeps the request's status block until that APC).
TEST(PingerICMPTest, EveryCompletionApcRunsOnTheSendingThread) {
  for (bool stoppedFirst : {false, true}) {
    SCOPED_TRACE(stoppedFirst ? "echoes given back after the stop" : "echoes answered");
    Behaviour behaviour;
    if (stoppedFirst) behaviour.completeAfterMs = -1;
    Probe probe(behaviour);
    for (int i = 0; i < 5; ++i) probe.ping(i);
    ASSERT_TRUE(probe.api->waitSent(5));
    if (stoppedFirst) {
      probe.icmp.reset();
      probe.api->release();
    } else {
      ASSERT_TRUE(probe.log->waitForResults(5));
    }
    ASSERT_TRUE(probe.api->waitIcmpHandlesClosed());
    EXPECT_EQ(probe.api->apcsQueued(), 5);
    EXPECT_TRUE(probe.api->waitApcsRun(5, 3000)) << "the wait thread does not wait alertably";
  }
}

// 64 handles per wait: the wake event and two per probe leave room for 31.
TEST(PingerICMPTest, MoreProbesThanOneWaitHoldsQueueAndAllReport) {
  Behaviour slow;
  slow.completeAfterMs = 150;
  Probe probe(slow);
  for (int i = 0; i < 100; ++i) probe.ping(i);
  ASSERT_TRUE(probe.log->waitForResults(100, 20000));
  EXPECT_EQ(probe.api->maxOutstanding(), 31u);
  for (int i = 0; i < 100; ++i) {
    auto reports = probe.log->of(i);
    ASSERT_EQ(reports.size(), 1u) << i;
    EXPECT_EQ(reports[0].kind, ProbeLog::Replied) << i;
  }
  EXPECT_EQ(probe.api->freedBeforeCompletion(), 0);
}

// A probe that cannot start queues its failure; a stop in the same pass must
// discard that, not end the process.
TEST(PingerICMPTest, AFailureQueuedAsItStopsIsDropped) {
  for (int round = 0; round < 20; ++round) {
    Behaviour failing;
    failing.sendFails = round % 2 == 0;
    failing.createFails = round % 2 == 1;
    Probe probe(failing);
    for (int i = 0; i < 3; ++i) probe.ping(i);
    probe.icmp.reset();
    EXPECT_EQ(probe.api->openIcmpHandles(), 0);
  }
}

}  // namespace
