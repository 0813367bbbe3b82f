#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/RandomGenerator.h"
#include "service/HttpThread.h"
#include "tests/support/ResolverGate.h"
#include "tests/support/HttpScenarios.h"

namespace {

using namespace std::chrono_literals;

const std::string compressible = [] {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "hello, compressed world ";
  return text;
}();

class HttpThreadTest : public HttpClientTest {};

// Every request: progress only before the one terminal report, all of it on
// one thread that isn't the owner's, the progress never going back.
void expectWellFormed(const std::vector<HttpReport>& reports) {
  ASSERT_FALSE(reports.empty());
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].thread, reports[0].thread);
    if (i + 1 < reports.size()) {
      ASSERT_EQ(reports[i].kind, HttpReport::progress) << "report " << i;
      if (i > 0) {
        EXPECT_GE(reports[i].done, reports[i - 1].done);
      }
    }
  }
  EXPECT_NE(reports.back().kind, HttpReport::progress);
  EXPECT_NE(reports[0].thread, std::this_thread::get_id());
}

struct Scenario {
  const char* name;
  const char* path;
  bool complete;
  std::string body;
  uint32_t total;     // of the last progress report; done must reach it on success
  size_t minProgress; // at least this many progress reports
};

const Scenario scenarios[] = {
    {"ContentLength", "/length", true, "0123456789", 10, 2},
    {"DrippedBody", "/drip", true, "abcdefghijkl", 12, 4},
    {"Chunked", "/chunked", true, "first-second-third", 0, 2},
    {"Gzip", "/gzip", true, compressible, 0, 2},
    {"GzipAnyCase", "/gzip-upper", true, compressible, 0, 2},
    {"DeflateRaw", "/deflate-raw", true, compressible, 0, 2},
    {"DeflateZlib", "/deflate-zlib", true, compressible, 0, 2},
    {"GzipWithExtraByte", "/gzip-extra", false, "", 0, 2},
    {"Identity", "/identity", true, "as it is", 8, 2},
    {"UnknownCoding", "/unknown-coding", false, "", 0, 2},
    {"Redirect", "/301", false, "", 0, 0},
    {"NotFound", "/404", false, "", 0, 0},
    {"ClosedMidBody", "/truncated", false, "", 100, 2},
    {"CompleteWhileConnectionStaysOpen", "/keep-open", true, "kept-open!", 10, 2},
    {"BodyEndsWithConnection", "/close-delimited", true, "until the end", 0, 2},
    {"BodyEndsWithReset", "/close-delimited-reset", false, "", 0, 2},
    {"BytesAfterTheResponse", "/extra", true, "hello", 5, 2},
    {"LengthAboveLimit", "/huge-length", false, "", 0, 0},
    {"BlobChunkedInPieces", "/blob?size=300000&chunked&piece=7000", true, blobBytes(300000), 0, 3},
    {"BlobGzipChunked", "/blob?size=300000&gzip&chunked", true, blobBytes(300000), 0, 2},
};

class HttpScenarioTable : public HttpThreadTest, public testing::WithParamInterface<Scenario> {};

void checkScenario(const Scenario& s, RecordingHttpListener& listener) {
  ASSERT_TRUE(listener.waitForEnd());
  auto reports = listener.reports();
  expectWellFormed(reports);
  const HttpReport& last = reports.back();
  ASSERT_EQ(last.kind, s.complete ? HttpReport::complete : HttpReport::error);
  if (s.complete) {
    EXPECT_TRUE(last.body == s.body) << "body of " << last.body.size() << " bytes";
  }
  size_t progress = reports.size() - 1;
  EXPECT_GE(progress, s.minProgress);
  if (progress > 0) {
    EXPECT_EQ(reports[0].done, 0u);
    const HttpReport& final = reports[progress - 1];
    if (s.total != 0) {
      EXPECT_EQ(final.total, s.total);
    }
    if (s.complete) {
      EXPECT_EQ(final.done, final.total);
    }
  }
}

TEST_P(HttpScenarioTable, ReportsProgressThenOneOutcome) {
  const Scenario& s = GetParam();
  auto request = start(server.url("plain", s.path));
  checkScenario(s, *listener);
  size_t reported = listener->reports().size();
  request.reset();
  EXPECT_EQ(listener->reports().size(), reported) << "nothing after the outcome";
}

INSTANTIATE_TEST_SUITE_P(Plain, HttpScenarioTable, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

TEST_F(HttpThreadTest, SendsExactlyTheGetRequest) {
  auto request = start(server.url("plain", "/length?a=1&b=%2F#frag"));
  ASSERT_TRUE(listener->waitForEnd());
  EXPECT_EQ(server.lastRequest(),
            "GET /length?a=1&b=%2F#frag HTTP/1.1\r\n"
            "Connection: close\r\n"
            "Host: 127.0.0.1\r\n"
            "Accept-encoding: gzip, deflate\r\n\r\n");
}

TEST_F(HttpThreadTest, ConnectionFailuresReportError) {
  for (const char* url : {"http://127.0.0.1:0/x", "http://0.0.0.0:80/x", "http://name.invalid./x"}) {
    SCOPED_TRACE(url);
    listener = std::make_shared<RecordingHttpListener>();
    auto request = start(url);
    ASSERT_TRUE(listener->waitForEnd());
    auto reports = listener->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, HttpReport::error);
  }
}

TEST_F(HttpThreadTest, SilentServerKeepsTheRequestOpenWithinTheBuiltInLimits) {
  auto request = start(server.url("plain", "/silence"));
  EXPECT_FALSE(listener->waitForEnd(700ms));
  request.reset();
  EXPECT_TRUE(listener->reports().empty());
}

// A stall ends the request with onError once its limit has passed: the
// connection within the connect limit, then some byte within the idle limit
// each time (a slow but steady body is not a stall).
struct TimeLimitCase {
  const char* name;
  const char* listener;
  const char* path;
  unsigned connectMs;
  unsigned idleMs;
  bool complete;
  long long minMs;  // the outcome came no earlier
};

const TimeLimitCase timeLimitCases[] = {
    {"ConnectionNotMade", "backlog", "/length", 600, 60000, false, 550},
    {"NoAnswer", "plain", "/silence", 30000, 600, false, 550},
    {"BodyStalls", "plain", "/stall-body", 30000, 600, false, 550},
    {"SlowButSteadyBody", "plain", "/drip?gap=450", 30000, 900, true, 1300},
};

class HttpTimeLimitTable : public HttpThreadTest, public testing::WithParamInterface<TimeLimitCase> {};

TEST_P(HttpTimeLimitTable, EndsAStallAtItsLimit) {
  const TimeLimitCase& c = GetParam();
  auto began = std::chrono::steady_clock::now();
  auto url = std::make_shared<UrlParts>(parseUrl(server.url(c.listener, c.path)));
  auto request = std::make_unique<HttpThread>(rng, listener, url, c.connectMs, c.idleMs);
  ASSERT_TRUE(listener->waitForEnd(10s));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
  auto reports = listener->reports();
  expectWellFormed(reports);
  EXPECT_EQ(reports.back().kind, c.complete ? HttpReport::complete : HttpReport::error);
  EXPECT_GE(took, c.minMs);
  EXPECT_LT(took, c.minMs + 5000);
  request.reset();
  EXPECT_EQ(listener->reports().size(), reports.size()) << "nothing after the outcome";
}

INSTANTIATE_TEST_SUITE_P(Limits, HttpTimeLimitTable, testing::ValuesIn(timeLimitCases),
                         [](const testing::TestParamInfo<TimeLimitCase>& info) { return info.param.name; });

// The system resolver cannot be cancelled and may take its time: the connect
// limit still ends the request, and destroying it never waits for the lookup.
TEST_F(HttpThreadTest, NameLookupThatHangsHoldsNothingUp) {
  ResolverGate gate;
  auto url =
      std::make_shared<UrlParts>(parseUrl("http://lookup.test:" + std::to_string(server.port("plain")) + "/length"));
  auto limited = std::make_unique<HttpThread>(rng, listener, url, 500, 60000, gate.resolver(0x7F000001));
  ASSERT_TRUE(gate.waitEntered(1));
  ASSERT_TRUE(listener->waitForEnd(10s));
  auto reports = listener->reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, HttpReport::error);

  auto quiet = std::make_shared<RecordingHttpListener>();
  auto request = std::make_unique<HttpThread>(rng, quiet, url, HttpThread::defaultConnectTimeoutMs,
                                              HttpThread::defaultIdleTimeoutMs, gate.resolver(0x7F000001));
  ASSERT_TRUE(gate.waitEntered(2));
  auto began = std::chrono::steady_clock::now();
  request.reset();
  limited.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
  ASSERT_TRUE(gate.openAndDrain());
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(quiet->reports().empty());
  EXPECT_EQ(listener->reports().size(), 1u);
}

// The gate holds the lookup, so the cancel surely comes while it runs (a
// loopback request left to itself can be over before the cancel).
TEST_F(HttpThreadTest, CancelDuringResolve) {
  ResolverGate gate;
  auto url = std::make_shared<UrlParts>(parseUrl("http://localhost:" + std::to_string(server.port("plain")) + "/length"));
  auto request = std::make_unique<HttpThread>(rng, listener, url, HttpThread::defaultConnectTimeoutMs,
                                              HttpThread::defaultIdleTimeoutMs, gate.resolver(0x7F000001));
  ASSERT_TRUE(gate.waitEntered(1));
  expectQuietPromptCancel(request, *listener);
  ASSERT_TRUE(gate.openAndDrain());
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(listener->reports().empty());
}

TEST_F(HttpThreadTest, CancelDuringConnect) {
  auto request = start(server.url("backlog", "/length"));
  std::this_thread::sleep_for(300ms);
  expectQuietPromptCancel(request, *listener);
}

TEST_F(HttpThreadTest, CancelInTheMiddleOfTheBody) {
  auto request = start(server.url("plain", "/stall-body"));
  ASSERT_TRUE(listener->waitForProgress(10));
  expectQuietPromptCancel(request, *listener);
}

#ifndef _WIN32
// Large bodies only natively: each read costs far more under Wine.
TEST_F(HttpThreadTest, LargeBodyIntact) {
  for (const char* query : {"/blob?size=20000000", "/blob?size=20000000&gzip"}) {
    SCOPED_TRACE(query);
    listener = std::make_shared<RecordingHttpListener>();
    auto request = start(server.url("plain", query));
    ASSERT_TRUE(listener->waitForEnd(60s));
    auto reports = listener->reports();
    ASSERT_EQ(reports.back().kind, HttpReport::complete);
    EXPECT_TRUE(reports.back().body == blobBytes(20000000));
  }
}
#endif

}  // namespace
