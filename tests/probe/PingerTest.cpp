#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "probe/Pinger.h"
#include "tests/probe/RecordingSinks.h"
#include "tests/support/ResolverGate.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t loopback = 0x7f000001;

// What the stand-in echo saw, shared with the test.
struct EchoLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::thread::id thread;
  std::vector<uint32_t> addresses;
  bool destroyed = false;

  size_t started() {
    std::lock_guard<std::mutex> lock(mutex);
    return addresses.size();
  }
  bool waitStarted(size_t n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return addresses.size() >= n; });
  }
  bool waitDestroyed(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return destroyed; });
  }
};

// A stand-in for the ICMP echo: answers each request from its own thread after
// a delay (never when the delay is negative), with a latency or a failure.
class FakeEcho : public PingEcho {
 public:
  struct Behaviour {
    int answerAfterMs = 5;
    bool fail = false;
    uint32_t latencyMs = 7;
  };

  FakeEcho(std::shared_ptr<EchoLog> log, Behaviour behaviour) : log_(std::move(log)), behaviour_(behaviour) {
    thread_ = std::thread([this] { run(); });
  }
  ~FakeEcho() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    pending_.clear();
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->destroyed = true;
    log_->changed.notify_all();
  }

  void pingAsync(uint32_t address, std::shared_ptr<PingResultSink> sink) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back({Clock::now() + std::chrono::milliseconds(behaviour_.answerAfterMs), std::move(sink)});
    }
    wake_.notify_all();
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->addresses.push_back(address);
    log_->changed.notify_all();
  }

 private:
  struct Pending {
    Clock::time_point due;
    std::shared_ptr<PingResultSink> sink;
  };

  void run() {
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      log_->thread = std::this_thread::get_id();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (pending_.empty() || behaviour_.answerAfterMs < 0) {
        wake_.wait(lock);
        continue;
      }
      if (Clock::now() < pending_.front().due) {
        wake_.wait_until(lock, pending_.front().due);
        continue;
      }
      std::shared_ptr<PingResultSink> sink = std::move(pending_.front().sink);
      pending_.pop_front();
      // Unlocked: the sink may drop the last owner of the Pinger, whose worker
      // then destroys this echo.
      lock.unlock();
      if (behaviour_.fail)
        sink->failed();
      else
        sink->replied(behaviour_.latencyMs);
      sink.reset();
      lock.lock();
    }
  }

  std::shared_ptr<EchoLog> log_;
  Behaviour behaviour_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> pending_;
  bool stop_ = false;
  std::thread thread_;
};

std::shared_ptr<Pinger> makePinger(std::shared_ptr<EchoLog> log, FakeEcho::Behaviour behaviour = {}) {
  return std::make_shared<Pinger>([log, behaviour] { return std::make_unique<FakeEcho>(log, behaviour); });
}

struct HostCase {
  const char* name;
  const char* host;
  uint32_t address;  // 0: unresolved
};

class PingerHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(PingerHostTest, ReportsTheDnsResultAndThenOneEchoResultOnTheirThreads) {
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  auto pinger = makePinger(echoLog);
  auto sink = std::make_shared<RecordingSink>(log, 0);
  pinger->ping(GetParam().host, sink, sink);
  ASSERT_TRUE(log->waitForResults(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more may come
  auto reports = log->of(0);
  ASSERT_EQ(reports.size(), 2u);
  const auto test = std::this_thread::get_id();
  if (GetParam().address) {
    EXPECT_EQ(reports[0].kind, ProbeLog::Resolved);
    EXPECT_EQ(reports[0].value, GetParam().address);
    EXPECT_EQ(reports[1].kind, ProbeLog::Replied);
    EXPECT_EQ(reports[1].value, 7u);
    EXPECT_NE(reports[0].thread, test);
    EXPECT_NE(reports[0].thread, echoLog->thread);
    EXPECT_EQ(reports[1].thread, echoLog->thread);
    EXPECT_EQ(echoLog->addresses, std::vector<uint32_t>{GetParam().address});
  } else {
    EXPECT_EQ(reports[0].kind, ProbeLog::Unresolved);
    EXPECT_EQ(reports[1].kind, ProbeLog::Failed);
    EXPECT_EQ(reports[0].thread, reports[1].thread);
    EXPECT_NE(reports[0].thread, test);
    EXPECT_NE(reports[0].thread, echoLog->thread);
    EXPECT_EQ(echoLog->started(), 0u);
  }
}

// Only loopback names and numeric addresses: no lookup leaves the machine.
INSTANTIATE_TEST_SUITE_P(Hosts, PingerHostTest,
                         ::testing::Values(HostCase{"Localhost", "localhost", loopback},
                                           HostCase{"NumericLoopback", "127.0.0.1", loopback},
                                           HostCase{"OtherLoopback", "127.1.2.3", 0x7f010203},
                                           HostCase{"OnlyIpv6", "::1", 0},          // no IPv4 address at all
                                           HostCase{"AllZero", "0.0.0.0", 0}),      // 0 is no address
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PingerTest, ResolvedComesOnTheWorkerAndUnresolvedOnTheDnsThread) {
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  auto pinger = makePinger(echoLog);
  auto good = std::make_shared<RecordingSink>(log, 0);
  auto bad = std::make_shared<RecordingSink>(log, 1);
  pinger->ping("localhost", good, good);
  pinger->ping("::1", bad, bad);
  ASSERT_TRUE(log->waitForResults(2));
  EXPECT_NE(log->of(0).at(0).thread, log->of(1).at(0).thread);
}

TEST(PingerTest, EchoFailureReachesTheResultSink) {
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  FakeEcho::Behaviour failing;
  failing.fail = true;
  auto pinger = makePinger(echoLog, failing);
  auto sink = std::make_shared<RecordingSink>(log, 0);
  pinger->ping("localhost", sink, sink);
  ASSERT_TRUE(log->waitForResults(1));
  auto reports = log->of(0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].kind, ProbeLog::Resolved);
  EXPECT_EQ(reports[1].kind, ProbeLog::Failed);
}

// The system resolver can take many seconds and cannot be cancelled: a Pinger
// dropped meanwhile (the main window closing) must not wait for it, and its
// answer, when it comes, reaches no one.
TEST(PingerTest, DestroyedDuringAHangingLookupWaitsNotForItAndReportsNothing) {
  ResolverGate gate;
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  auto pinger = std::make_unique<Pinger>([echoLog] { return std::make_unique<FakeEcho>(echoLog, FakeEcho::Behaviour{}); },
                                         gate.resolver(loopback));
  auto sink = std::make_shared<RecordingSink>(log, 0);
  std::weak_ptr<RecordingSink> watched = sink;
  pinger->ping("hangs.test", sink, sink);
  sink.reset();
  ASSERT_TRUE(gate.waitEntered(1));

  std::mutex mutex;
  std::condition_variable changed;
  bool destroyed = false;
  std::thread dropper([&] {
    pinger.reset();
    std::lock_guard<std::mutex> lock(mutex);
    destroyed = true;
    changed.notify_all();
  });
  bool beforeTheAnswer;
  {
    std::unique_lock<std::mutex> lock(mutex);
    beforeTheAnswer = changed.wait_for(lock, std::chrono::seconds(10), [&] { return destroyed; });
  }
  ASSERT_TRUE(gate.openAndDrain());  // lets a waiting destructor end in any case
  dropper.join();
  EXPECT_TRUE(beforeTheAnswer) << "the destructor waited for the lookup";
  EXPECT_TRUE(watched.expired());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log->count(), 0u);
  EXPECT_EQ(echoLog->started(), 0u);
}

// Each server: exactly one DNS report, then exactly one result.
void expectOneReportPairEach(ProbeLog& log, int servers) {
  for (int i = 0; i < servers; ++i) {
    auto reports = log.of(i);
    ASSERT_EQ(reports.size(), 2u) << "server " << i;
    EXPECT_TRUE(reports[0].kind == ProbeLog::Resolved || reports[0].kind == ProbeLog::Unresolved) << "server " << i;
    EXPECT_TRUE(reports[1].kind == ProbeLog::Replied || reports[1].kind == ProbeLog::Failed) << "server " << i;
  }
}

class PingerCountTest : public ::testing::TestWithParam<int> {};

TEST_P(PingerCountTest, EveryServerGetsOneDnsReportAndOneResult) {
  const int servers = GetParam();
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  auto pinger = makePinger(echoLog);
  for (int i = 0; i < servers; ++i) {
    auto sink = std::make_shared<RecordingSink>(log, i);
    pinger->ping(i % 5 == 4 ? "::1" : "localhost", sink, sink);
  }
  ASSERT_TRUE(log->waitForResults(servers));
  pinger.reset();
  EXPECT_EQ(log->count(), size_t(2 * servers));
  expectOneReportPairEach(*log, servers);
}

// Destroyed while lookups run (at once) or while echoes are held (the stand-in
// never answers): the threads end, every sink is released, nothing comes later.
TEST_P(PingerCountTest, DestroyedWithWorkInFlightEndsSilently) {
  const int servers = GetParam();
  for (bool waitForEchoes : {false, true}) {
    SCOPED_TRACE(waitForEchoes ? "echoes in flight" : "lookups in flight");
    auto echoLog = std::make_shared<EchoLog>();
    auto log = std::make_shared<ProbeLog>();
    FakeEcho::Behaviour silent;
    silent.answerAfterMs = -1;
    auto pinger = makePinger(echoLog, silent);
    std::vector<std::weak_ptr<RecordingSink>> sinks;
    for (int i = 0; i < servers; ++i) {
      auto sink = std::make_shared<RecordingSink>(log, i);
      sinks.push_back(sink);
      pinger->ping("localhost", sink, sink);
    }
    if (waitForEchoes) {
      ASSERT_TRUE(echoLog->waitStarted(servers));
    }
    pinger.reset();
    EXPECT_TRUE(echoLog->destroyed);
    const size_t atDestruction = log->count();
    for (const auto& sink : sinks) EXPECT_TRUE(sink.expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log->count(), atDestruction);
    for (const auto& report : log->reports()) EXPECT_EQ(report.kind, ProbeLog::Resolved);
    if (waitForEchoes) {
      EXPECT_EQ(atDestruction, size_t(servers));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, PingerCountTest, ::testing::Values(0, 1, 31, 32, 100));

TEST(PingerTest, AnswersRacingTheDestructionReportAtMostOnceAndNeverAfterIt) {
  for (int round = 0; round < 20; ++round) {
    auto echoLog = std::make_shared<EchoLog>();
    auto log = std::make_shared<ProbeLog>();
    FakeEcho::Behaviour quick;
    quick.answerAfterMs = 0;
    auto pinger = makePinger(echoLog, quick);
    for (int i = 0; i < 20; ++i) {
      auto sink = std::make_shared<RecordingSink>(log, i);
      pinger->ping(i % 2 ? "::1" : "localhost", sink, sink);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    pinger.reset();
    const auto ended = Clock::now();
    const size_t atEnd = log->count();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log->count(), atEnd);
    for (const auto& report : log->reports()) EXPECT_LE(report.at, ended);
    for (int i = 0; i < 20; ++i) {
      auto reports = log->of(i);
      EXPECT_LE(reports.size(), 2u);
      if (reports.size() == 2) {
        EXPECT_NE(reports[0].kind, reports[1].kind);
      }
    }
  }
}

// The owner of a Pinger (the main controller) released from inside a sink call
// or a sink's destructor, on whichever probe thread that runs.
enum class ReleaseAt { Resolved, Unresolved, FailedAfterUnresolved, Replied, EchoFailed, SinkDestructor };

struct Owner {
  std::shared_ptr<Pinger> pinger;
};

class OwnerReleasingSink : public PingDnsSink, public PingResultSink {
 public:
  OwnerReleasingSink(std::shared_ptr<Owner> owner, ReleaseAt at, std::shared_ptr<ProbeLog> log)
      : owner_(std::move(owner)), at_(at), log_(std::move(log)) {}
  void resolved(uint32_t address) override { report(ReleaseAt::Resolved, ProbeLog::Resolved, address); }
  void unresolved() override { report(ReleaseAt::Unresolved, ProbeLog::Unresolved, 0); }
  void failed() override {
    report(at_ == ReleaseAt::FailedAfterUnresolved ? ReleaseAt::FailedAfterUnresolved : ReleaseAt::EchoFailed,
           ProbeLog::Failed, 0);
  }
  void replied(uint32_t latencyMs) override { report(ReleaseAt::Replied, ProbeLog::Replied, latencyMs); }

 private:
  void report(ReleaseAt here, ProbeLog::Kind kind, uint32_t value) {
    // A report after the release must not come at all.
    log_->add(owner_ ? 0 : 1, kind, value);
    if (here == at_) owner_.reset();
  }
  std::shared_ptr<Owner> owner_;
  ReleaseAt at_;
  std::shared_ptr<ProbeLog> log_;
};

struct ReleaseCase {
  const char* name;
  ReleaseAt at;
  const char* host;
  bool echoFails;
  size_t reports;  // before the release, the release's own included
};

class PingerOwnerReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(PingerOwnerReleaseTest, TheLastReleaseInsideASinkEndsThePingerWithoutHangingOrLaterReports) {
  const ReleaseCase& c = GetParam();
  auto echoLog = std::make_shared<EchoLog>();
  auto log = std::make_shared<ProbeLog>();
  FakeEcho::Behaviour behaviour;
  behaviour.fail = c.echoFails;
  auto owner = std::make_shared<Owner>();
  owner->pinger = makePinger(echoLog, behaviour);
  {
    auto sink = std::make_shared<OwnerReleasingSink>(owner, c.at, log);
    owner->pinger->ping(c.host, sink, sink);
    // A second server keeps the echo busy while the first one's sink ends it.
    owner->pinger->ping("localhost", std::make_shared<RecordingSink>(log, 2), std::make_shared<RecordingSink>(log, 2));
  }
  owner.reset();  // from here the sink holds the only reference
  ASSERT_TRUE(echoLog->waitDestroyed()) << "the Pinger's teardown did not finish";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(log->of(1).empty()) << "a report came after the owner was released";
  EXPECT_EQ(log->of(0).size(), c.reports);
}

INSTANTIATE_TEST_SUITE_P(
    Where, PingerOwnerReleaseTest,
    ::testing::Values(ReleaseCase{"Resolved", ReleaseAt::Resolved, "localhost", false, 1},  // on the worker
                      ReleaseCase{"Unresolved", ReleaseAt::Unresolved, "::1", false, 1},  // on the DNS thread
                      ReleaseCase{"FailedAfterUnresolved", ReleaseAt::FailedAfterUnresolved, "::1", false, 2},
                      ReleaseCase{"Replied", ReleaseAt::Replied, "localhost", false, 2},  // on the echo thread
                      ReleaseCase{"EchoFailed", ReleaseAt::EchoFailed, "localhost", true, 2},
                      // released with the probe's bookkeeping, after both reports
                      ReleaseCase{"SinkDestructor", ReleaseAt::SinkDestructor, "localhost", false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
