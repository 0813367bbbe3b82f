#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/RandomGenerator.h"
#include "service/ConnThread.h"
#include "tests/service/ConnTestSupport.h"
#include "tests/service/FailingAllocation.h"
#include "tests/support/ResolverGate.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"

namespace {

constexpr unsigned kTestPauseMs = 200;
constexpr int kWait = connState::wait;
constexpr int kResolve = connState::resolve;
constexpr int kConnect = connState::connect;
constexpr int kHandshake = connState::handshake;
constexpr int kReady = connState::ready;
constexpr int kBusy = connState::busy;

// A first connection's states up to ready, then more.
std::vector<int> upToReady(std::initializer_list<int> more = {}) {
  std::vector<int> ids{kResolve, kConnect, kHandshake, kReady};
  ids.insert(ids.end(), more);
  return ids;
}

ConnBackend& backend() {
  static ConnBackend instance;
  return instance;
}

class ConnThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { backend().reset(); }

  std::unique_ptr<ConnThread> start(int port, const std::string& host = "127.0.0.1", unsigned pauseMs = kTestPauseMs) {
    return std::make_unique<ConnThread>(
        random_, [this](int state) { states_.add(state); }, host, port, pauseMs);
  }
  std::unique_ptr<ConnThread> startReady() {
    auto conn = start(backend().channelPort());
    EXPECT_TRUE(states_.waitFor(kReady));
    return conn;
  }
  void send(ConnThread& conn, std::string payload, int tag) {
    conn.send(std::move(payload), std::make_shared<LoggingSink>(outcomes_, tag));
  }
  // One request on a ready channel and its reply text.
  std::string roundTrip(ConnThread& conn, std::string payload) {
    size_t before = outcomes_.all().size();
    send(conn, std::move(payload), static_cast<int>(before));
    EXPECT_TRUE(outcomes_.waitCount(before + 1));
    auto all = outcomes_.all();
    EXPECT_EQ(all.size(), before + 1);
    EXPECT_FALSE(all.back().failed);
    return all.back().text;
  }
  static const rapidjson::Value& request(const rapidjson::Document& stats, rapidjson::SizeType index) {
    return stats["requests"][index];
  }

  std::shared_ptr<RandomGenerator> random_ = std::make_shared<RandomGenerator>();
  StateLog states_;
  OutcomeLog outcomes_;
};

TEST_F(ConnThreadTest, StartsWithResolveAndReachesReadyThroughOneKeyExchange) {
  auto conn = startReady();
  EXPECT_EQ(states_.ids(), upToReady());
  auto stats = backend().stats();
  EXPECT_EQ(stats["connections"].GetInt(), 1);
  EXPECT_EQ(stats["handshakes"].GetInt(), 1);
  // The key exchange is exactly 320 bytes: nothing followed it before the reply.
  EXPECT_EQ(stats["extraAfterKeyExchange"].GetInt(), 0);
  EXPECT_EQ(stats["errors"].Size(), 0u);
}

TEST_F(ConnThreadTest, WithoutPeerWaitsTheBuiltInPauseBeforeResolvingAgain) {
  auto conn = start(backend().deadPort(), "127.0.0.1", ConnThread::defaultReconnectPauseMs);
  ASSERT_TRUE(states_.waitFor(kResolve, 2));
  std::vector<int> ids = states_.ids();
  ASSERT_GE(ids.size(), 4u);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 4), (std::vector<int>{kResolve, kConnect, kWait, kResolve}));
  long long pause = states_.msBetween(0, 1);
  EXPECT_GE(pause, 950);
  EXPECT_LT(pause, 3000);
}

TEST_F(ConnThreadTest, LookupWithoutUsableIPv4AddressWaits) {
  for (const char* host : {"::1", "0.0.0.0"}) {
    SCOPED_TRACE(host);
    StateLog log;
    {
      ConnThread conn(random_, [&log](int state) { log.add(state); }, host, backend().channelPort(), kTestPauseMs);
      ASSERT_TRUE(log.waitFor(kWait));
    }
    std::vector<int> ids = log.ids();
    EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 2), (std::vector<int>{kResolve, kWait}));
  }
}

TEST_F(ConnThreadTest, RequestsWhileNotConnectedFailAtOnceAndAreNotKept) {
  auto conn = start(backend().deadPort(), "127.0.0.1", 60000);
  ASSERT_TRUE(states_.waitFor(kWait));
  send(*conn, "{\"op\":\"accounts\"}", 1);
  ASSERT_TRUE(outcomes_.waitCount(1));
  EXPECT_TRUE(outcomes_.all()[0].failed);
  EXPECT_EQ(states_.ids(), (std::vector<int>{kResolve, kConnect, kWait}));
}

TEST_F(ConnThreadTest, RequestFramesOfEverySizeCarryTheTextOnOneChainedConnection) {
  struct Case {
    size_t length;
    int blocks;
  };
  const Case cases[] = {{0, 1}, {14, 1}, {15, 2}, {16, 2}, {30, 2}, {31, 3}, {65533, 4096}, {1, 1}};
  auto conn = startReady();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::string payload = patternBytes(c.length);
    EXPECT_EQ(roundTrip(*conn, payload), payload);  // echoed, so both directions chain on
  }
  auto stats = backend().stats();
  EXPECT_EQ(stats["connections"].GetInt(), 1);
  ASSERT_EQ(stats["requests"].Size(), sizeof cases / sizeof cases[0]);
  for (rapidjson::SizeType i = 0; i < stats["requests"].Size(); ++i) {
    SCOPED_TRACE(cases[i].length);
    EXPECT_EQ(request(stats, i)["length"].GetUint64(), cases[i].length);
    EXPECT_EQ(request(stats, i)["blocks"].GetInt(), cases[i].blocks);
  }
  // The empty request's block is its two length bytes and 14 bytes of fill, drawn fresh.
  std::string fill = request(stats, 0)["fill"].GetString();
  EXPECT_EQ(fill.size(), 28u);
  EXPECT_NE(fill, std::string(28, '0'));
  EXPECT_NE(fill, std::string(request(stats, 7)["fill"].GetString()).substr(0, 28));
  // Each request: ready -> busy -> ready (reported just after the reply is handed on).
  ASSERT_TRUE(states_.waitFor(kReady, 1 + static_cast<int>(sizeof cases / sizeof cases[0])));
  std::vector<int> expected = {1, 2, 3, 4};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    expected.push_back(5);
    expected.push_back(4);
  }
  EXPECT_EQ(states_.ids(), expected);
}

TEST_F(ConnThreadTest, OversizedRequestGetsAnEmptyReplyWithoutTouchingTheChannel) {
  auto conn = startReady();
  send(*conn, std::string(ConnThread::maxPayload + 1, 'x'), 1);
  ASSERT_TRUE(outcomes_.waitCount(1));
  EXPECT_FALSE(outcomes_.all()[0].failed);
  EXPECT_EQ(outcomes_.all()[0].text, "");
  EXPECT_EQ(roundTrip(*conn, "after"), "after");
  EXPECT_EQ(backend().stats()["requests"].Size(), 1u);
  ASSERT_TRUE(states_.waitFor(kReady, 2));
  EXPECT_EQ(states_.ids(), upToReady({kBusy, kReady}));
}

TEST_F(ConnThreadTest, ReplyFramesOfEverySizeAndShapeArriveWhole) {
  struct Case {
    const char* name;
    std::string action;
    std::string expected;
  };
  const std::string text = "[" + std::string(3000, '7') + "]";
  const Case cases[] = {
      {"empty", "{\"size\":0}", ""},
      {"one block", "{\"size\":13}", patternBytes(13)},
      {"two blocks", "{\"size\":14}", patternBytes(14)},
      {"many blocks", "{\"size\":5000}", patternBytes(5000)},
      {"compressed", "{\"text\":\"" + text + "\",\"compress\":true}", text},
      {"compressed empty", "{\"text\":\"\",\"compress\":true}", ""},
      {"split in single bytes", "{\"size\":200,\"split\":1}", patternBytes(200)},
      {"split in 5-byte pieces", "{\"size\":77,\"split\":5}", patternBytes(77)},
      {"split at every block boundary", "{\"size\":300,\"split\":16}", patternBytes(300)},
      {"split one byte past each block", "{\"size\":300,\"split\":17}", patternBytes(300)},
      {"split in pieces of three blocks", "{\"size\":1000,\"split\":48}", patternBytes(1000)},
  };
  auto conn = startReady();
  CapturedDebugLog log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    backend().onRequest(c.action);
    EXPECT_EQ(roundTrip(*conn, "{}"), c.expected);
  }
  EXPECT_EQ(backend().stats()["connections"].GetInt(), 1);
  // Logged before the reply is handed on, so complete by now.
  const std::string logged = log.text();
  for (const char* line : {"plain size=0\n", "plain size=13\n", "plain size=14\n", "plain size=5000\n"})
    EXPECT_NE(logged.find(line), std::string::npos) << line;
}

TEST_F(ConnThreadTest, QueuedRequestsGoOutInOrderInOneBusySpell) {
  auto conn = startReady();
  backend().onRequest("{\"delayMs\":100,\"text\":\"first\"}");
  backend().onRequest("{\"text\":\"second\"}");
  backend().onRequest("{\"text\":\"third\"}");
  send(*conn, "a", 1);
  send(*conn, "b", 2);
  send(*conn, "c", 3);
  ASSERT_TRUE(outcomes_.waitCount(3));
  ASSERT_TRUE(states_.waitFor(kReady, 2));
  auto all = outcomes_.all();
  ASSERT_EQ(all.size(), 3u);
  const char* texts[] = {"first", "second", "third"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].tag, i + 1);
    EXPECT_FALSE(all[i].failed);
    EXPECT_EQ(all[i].text, texts[i]);
  }
  EXPECT_EQ(states_.ids(), upToReady({kBusy, kReady}));
  auto stats = backend().stats();
  ASSERT_EQ(stats["requests"].Size(), 3u);
  EXPECT_STREQ(request(stats, 0)["head"].GetString(), "a");
  EXPECT_STREQ(request(stats, 2)["head"].GetString(), "c");
}

TEST_F(ConnThreadTest, ConnectionLostWithRequestsQueuedFailsThemInOrderAndReconnects) {
  auto conn = startReady();
  backend().onRequest("{\"close\":true,\"delayMs\":300}");
  send(*conn, "in flight", 1);
  send(*conn, "queued 1", 2);
  send(*conn, "queued 2", 3);
  ASSERT_TRUE(outcomes_.waitCount(3));
  auto all = outcomes_.all();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].tag, i + 1);
    EXPECT_TRUE(all[i].failed);
  }
  ASSERT_TRUE(states_.waitFor(kReady, 2));
  EXPECT_EQ(states_.ids(), upToReady({kBusy, kWait, kResolve, kConnect, kHandshake, kReady}));
  EXPECT_EQ(roundTrip(*conn, "again"), "again");
}

// Each misbehaviour of the peer ends the connection: the request in flight (if
// any) fails, state 0 follows, and the channel comes back on a new connection.
TEST_F(ConnThreadTest, MisbehavingPeerEndsTheConnection) {
  struct Case {
    const char* name;
    const char* connAction;  // or nullptr
    const char* reqAction;   // a request is sent when set
    std::vector<int> states;
    bool delivered;  // the request still got its reply first
  };
  const Case cases[] = {
      {"close before the key reply", "{\"close\":\"beforeKeyReply\"}", nullptr, {kResolve, kConnect, kHandshake, kWait},
       false},
      {"close after the key reply", "{\"close\":\"afterKeyReply\",\"delayMs\":50}", nullptr, upToReady({kWait}),
       false},
      {"stray byte while ready", "{\"stray\":true,\"delayMs\":50}", nullptr, upToReady({kWait}), false},
      {"close before the reply", nullptr, "{\"close\":true}", upToReady({kBusy, kWait}), false},
      {"bad deflate stream", nullptr, "{\"badDeflate\":true}", upToReady({kBusy, kWait}), false},
      {"bytes after the deflate stream", nullptr, "{\"text\":\"{}\",\"trailing\":true}", upToReady({kBusy, kWait}),
       false},
      {"cut deflate stream", nullptr, "{\"size\":3000,\"truncateDeflate\":true}", upToReady({kBusy, kWait}), false},
      {"stray byte after a reply", nullptr, "{\"text\":\"ok\",\"stray\":true}", upToReady({kBusy, kReady, kWait}),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    backend().reset();
    StateLog log;
    OutcomeLog outcomes;
    if (c.connAction) backend().onConnection(c.connAction);
    if (c.reqAction) backend().onRequest(c.reqAction);
    ConnThread conn(random_, [&log](int state) { log.add(state); }, "127.0.0.1", backend().channelPort(), 60000);
    if (c.reqAction) {
      ASSERT_TRUE(log.waitFor(kReady));
      conn.send("{\"op\":\"x\"}", std::make_shared<LoggingSink>(outcomes, 1));
      ASSERT_TRUE(outcomes.waitCount(1));
      EXPECT_EQ(outcomes.all()[0].failed, !c.delivered);
    }
    ASSERT_TRUE(log.waitFor(kWait));
    EXPECT_EQ(log.ids(), c.states);
    EXPECT_EQ(outcomes.all().size(), c.reqAction ? 1u : 0u);
  }
}

// A request in flight whose reply brings no byte for the reply limit ends the
// connection like a broken stream: it fails with those queued behind it, and
// the channel comes back. A slow reply that keeps coming is not a stall.
TEST_F(ConnThreadTest, ReplyThatStallsEndsTheConnectionAtTheLimit) {
  struct Case {
    const char* name;
    const char* action;
    bool delivered;
  };
  const Case cases[] = {
      {"no answer at all", "{\"silent\":true}", false},
      {"stops after the first block", "{\"headerOnly\":true,\"size\":500}", false},
      {"slow but steady", "{\"size\":40,\"split\":16,\"pieceDelayMs\":450}", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    backend().reset();
    backend().onRequest(c.action);
    StateLog log;
    OutcomeLog outcomes;
    ConnThread conn(random_, [&log](int state) { log.add(state); }, "127.0.0.1", backend().channelPort(), kTestPauseMs,
                    700);
    ASSERT_TRUE(log.waitFor(kReady));
    auto began = std::chrono::steady_clock::now();
    conn.send("{\"op\":\"x\"}", std::make_shared<LoggingSink>(outcomes, 1));
    conn.send("{\"op\":\"y\"}", std::make_shared<LoggingSink>(outcomes, 2));
    ASSERT_TRUE(outcomes.waitCount(2));
    auto all = outcomes.all();
    EXPECT_EQ(all[0].failed, !c.delivered);
    if (c.delivered) {
      EXPECT_EQ(all[0].text, patternBytes(40));
      EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(800));
      continue;
    }
    EXPECT_TRUE(all[1].failed);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(650));
    ASSERT_TRUE(log.waitFor(kReady, 2));
    EXPECT_EQ(log.ids(), upToReady({kBusy, kWait, kResolve, kConnect, kHandshake, kReady}));
  }
}

// The system resolver cannot be cancelled: destroying the channel while a
// lookup is running must not wait for it.
TEST_F(ConnThreadTest, DestroyingDoesNotWaitForANameLookup) {
  ResolverGate gate;
  auto conn = std::make_unique<ConnThread>(random_, [this](int state) { states_.add(state); }, "backend.test",
                                           backend().channelPort(), kTestPauseMs, ConnThread::defaultReplyTimeoutMs,
                                           gate.resolver(0x7F000001));
  ASSERT_TRUE(gate.waitEntered(1));
  send(*conn, "{}", 1);
  ASSERT_TRUE(outcomes_.waitCount(1));
  EXPECT_TRUE(outcomes_.all()[0].failed);
  auto began = std::chrono::steady_clock::now();
  conn.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  ASSERT_TRUE(gate.openAndDrain());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(states_.ids(), std::vector<int>{kResolve});
  EXPECT_EQ(outcomes_.all().size(), 1u);
}

// A reply of up to 16 MiB grows as its bytes come; one that grows beyond what
// the process can hold ends the connection like a broken reply.
TEST_F(ConnThreadTest, ReplyTooLargeToHoldIsABrokenReply) {
  auto conn = startReady();
  backend().onRequest("{\"size\":16777215}");
  LargeAllocationsFail failing(size_t(4) << 20);
  send(*conn, "{}", 1);
  ASSERT_TRUE(outcomes_.waitCount(1));
  EXPECT_TRUE(outcomes_.all()[0].failed);
  ASSERT_TRUE(states_.waitFor(kReady, 2));
  std::vector<int> ids = states_.ids();
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 6), upToReady({kBusy, kWait}));
}

TEST_F(ConnThreadTest, DestroyingWithARequestInFlightFailsItBeforeReturning) {
  auto conn = startReady();
  backend().onRequest("{\"headerOnly\":true,\"size\":500}");
  send(*conn, "never answered", 1);
  send(*conn, "behind it", 2);
  ASSERT_TRUE(states_.waitFor(kBusy));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(outcomes_.all().empty());  // a half reply keeps it waiting: the reply limit is far off
  conn.reset();
  auto all = outcomes_.all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].tag, 1);
  EXPECT_TRUE(all[0].failed);
  EXPECT_EQ(all[1].tag, 2);
  EXPECT_TRUE(all[1].failed);
}

// Every state closes what it holds when the channel stops: a handle left open
// would end the loop with a fatal error, a leak shows under the sanitizers.
TEST_F(ConnThreadTest, DestroyingInEveryStateClosesWhatItHolds) {
  struct Case {
    const char* name;
    const char* connAction;
    bool deadPeer;
    int waitState;
  };
  const Case cases[] = {
      {"resolving", nullptr, false, kResolve},
      {"waiting", nullptr, true, kWait},
      {"in the handshake", "{\"close\":\"beforeKeyReply\",\"delayMs\":5000}", false, kHandshake},
      {"ready", nullptr, false, kReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    backend().reset();
    if (c.connAction) backend().onConnection(c.connAction);
    // The request may go out before the stop, even from "resolving" on a busy
    // machine: a backend that answered could beat the stop to it.
    backend().onRequest("{\"silent\":true}");
    StateLog log;
    OutcomeLog outcomes;
    {
      const int port = c.deadPeer ? backend().deadPort() : backend().channelPort();
      ConnThread conn(random_, [&log](int state) { log.add(state); }, "127.0.0.1", port, 60000);
      ASSERT_TRUE(log.waitFor(c.waitState));
      conn.send("{}", std::make_shared<LoggingSink>(outcomes, 1));
    }
    ASSERT_EQ(outcomes.all().size(), 1u);
    EXPECT_TRUE(outcomes.all()[0].failed);
  }
}

TEST_F(ConnThreadTest, RequestsPostedBeforeDestructionAllGetTheirOutcome) {
  auto conn = startReady();
  for (int i = 0; i < 20; ++i) send(*conn, "r" + std::to_string(i), i);
  conn.reset();
  auto all = outcomes_.all();
  ASSERT_EQ(all.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(all[i].tag, i);
}

#ifndef _WIN32
// Large replies read 16 bytes per receive: too slow under Wine, so native only.
TEST_F(ConnThreadTest, LargeRepliesPlainAndCompressed) {
  auto conn = startReady();
  backend().onRequest("{\"size\":4194304}");
  EXPECT_EQ(roundTrip(*conn, "{}"), patternBytes(4194304));
  backend().onRequest("{\"size\":16777215,\"compress\":true}");
  EXPECT_EQ(roundTrip(*conn, "{}"), patternBytes(16777215));
  EXPECT_EQ(backend().stats()["connections"].GetInt(), 1);
}

TEST_F(ConnThreadTest, CompressedReplyInflatingPastTheLimitEndsTheConnection) {
  auto conn = startReady();
  backend().onRequest("{\"size\":40000000,\"compress\":true}");
  send(*conn, "{}", 1);
  ASSERT_TRUE(outcomes_.waitCount(1, 30000));
  EXPECT_TRUE(outcomes_.all()[0].failed);
  ASSERT_TRUE(states_.waitFor(kWait));
  std::vector<int> ids = states_.ids();
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 6), upToReady({kBusy, kWait}));
}
#endif

}  // namespace
