#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "core/RandomGenerator.h"
#include "service/HttpThread.h"
#include "service/TlsStream.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace std::chrono_literals;

class TlsTest : public HttpClientTest {
 protected:
  HttpReport outcome(const std::string& url, std::chrono::milliseconds timeout = 30s) {
    listener = std::make_shared<RecordingHttpListener>();
    auto request = start(url);
    EXPECT_TRUE(listener->waitForEnd(timeout));
    request.reset();
    auto reports = listener->reports();
    if (reports.empty()) return HttpReport{HttpReport::progress, 0, 0, {}, {}};
    size_t terminal = 0;
    for (const auto& report : reports) terminal += report.kind != HttpReport::progress;
    EXPECT_EQ(terminal, 1u);
    return reports.back();
  }
};

class TrustedTlsTest : public TlsTest {
 protected:
  TrustedTestCa trusted{server};
};

struct TlsCase {
  const char* name;
  const char* listener;
  const char* path;
  bool complete;
  const char* body;
};

const TlsCase tlsCases[] = {
    {"TrustedLocalhost", "tls", "/length", true, "0123456789"},
    {"Tls10", "tls10", "/length", true, "0123456789"},
    {"Tls11", "tls11", "/length", true, "0123456789"},
    {"Tls12", "tls12", "/length", true, "0123456789"},
    {"Tls13OnlyServer", "tls13", "/length", false, ""},
    {"WrongName", "wrongName", "/length", false, ""},
    {"SelfSigned", "selfSigned", "/length", false, ""},
    {"PlainHttpBehindHttpsUrl", "plain", "/length", false, ""},
    {"Chunked", "tls", "/chunked", true, "first-second-third"},
    {"CompleteWhileConnectionStaysOpen", "tls", "/keep-open", true, "kept-open!"},
    {"BodyEndsWithCloseNotify", "tls", "/close-delimited", true, "until the end"},
    {"BodyEndsWithoutCloseNotify", "tls", "/close-delimited-no-notify", false, ""},
    {"BodyEndsWithReset", "tls", "/close-delimited-reset", false, ""},
    {"ClosedMidBody", "tls", "/truncated", false, ""},
    {"NotFound", "tls", "/404", false, ""},
    {"BytesAfterTheResponse", "tls", "/extra", true, "hello"},
};

class TlsTable : public TrustedTlsTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(TlsTable, HandshakeAndResponse) {
  const TlsCase& c = GetParam();
  HttpReport last = outcome(server.url(c.listener, c.path, true));
  ASSERT_EQ(last.kind, c.complete ? HttpReport::complete : HttpReport::error);
  EXPECT_EQ(last.body, c.body);
}

INSTANTIATE_TEST_SUITE_P(Https, TlsTable, testing::ValuesIn(tlsCases),
                         [](const testing::TestParamInfo<TlsCase>& info) { return info.param.name; });

TEST_F(TlsTest, UntrustedCaFailsTheHandshake) {
  EXPECT_EQ(outcome(server.url("tls", "/length", true)).kind, HttpReport::error);
  EXPECT_EQ(server.lastRequest().find("GET /length"), std::string::npos);
}

TEST_F(TrustedTlsTest, SendsExactlyTheGetRequestInsideTls) {
  EXPECT_EQ(outcome(server.url("tls", "/length?x=1", true)).kind, HttpReport::complete);
  EXPECT_EQ(server.lastRequest(),
            "GET /length?x=1 HTTP/1.1\r\n"
            "Connection: close\r\n"
            "Host: localhost\r\n"
            "Accept-encoding: gzip, deflate\r\n\r\n");
}

TEST_F(TrustedTlsTest, RequestLongerThanOneRecordIsSentWhole) {
  std::string path = "/length?" + std::string(40000, 'q');
  EXPECT_EQ(outcome(server.url("tls", path, true)).kind, HttpReport::complete);
  std::string received = server.lastRequest();
  EXPECT_TRUE(received == buildGetRequest(parseUrl(server.url("tls", path, true))))
      << received.size() << " bytes arrived";
}

TEST_F(TrustedTlsTest, TwoMegabyteBodyIntact) {
  for (const char* query : {"/blob?size=2097152", "/blob?size=2097152&gzip&chunked"}) {
    SCOPED_TRACE(query);
    HttpReport last = outcome(server.url("tls", query, true), 120s);
    ASSERT_EQ(last.kind, HttpReport::complete);
    EXPECT_TRUE(last.body == blobBytes(2097152));
  }
}

TEST_F(TrustedTlsTest, CancelDuringHandshake) {
  auto request = start(server.url("mute", "/length", true));
  EXPECT_FALSE(listener->waitForEnd(500ms));
  expectQuietPromptCancel(request, *listener);
}

TEST_F(TrustedTlsTest, HandshakeNeverAnsweredEndsAtTheIdleLimit) {
  auto began = std::chrono::steady_clock::now();
  auto url = std::make_shared<UrlParts>(parseUrl(server.url("mute", "/length", true)));
  auto request = std::make_unique<HttpThread>(rng, listener, url, HttpThread::defaultConnectTimeoutMs, 600);
  ASSERT_TRUE(listener->waitForEnd(10s));
  EXPECT_GE(std::chrono::steady_clock::now() - began, 550ms);
  auto reports = listener->reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, HttpReport::error);
}

TEST_F(TrustedTlsTest, CancelInTheMiddleOfTheBody) {
  auto request = start(server.url("tls", "/stall-body", true));
  ASSERT_TRUE(listener->waitForProgress(10));
  expectQuietPromptCancel(request, *listener);
}

bool chainHolds(const mbedtls_x509_crt* chain, const char* commonName) {
  for (const mbedtls_x509_crt* cert = chain; cert && cert->raw.len; cert = cert->next) {
    char name[256];
    if (mbedtls_x509_dn_gets(name, sizeof name, &cert->subject) > 0 && std::strstr(name, commonName)) return true;
  }
  return false;
}

TEST_F(TlsTest, SystemRootsHoldTheTestCaOnlyWhileTrusted) {
  EXPECT_FALSE(chainHolds(loadSystemRootCAs().get(), "ZAV Test CA"));
  {
    TrustedTestCa trusted(server);
    CapturedDebugLog log;
    CaChain chain = loadSystemRootCAs();
    EXPECT_TRUE(chainHolds(chain.get(), "ZAV Test CA"));
    size_t parsed = 0;
    for (const mbedtls_x509_crt* cert = chain.get(); cert && cert->raw.len; cert = cert->next) ++parsed;
    // One line with the count of certificates taken from the store, then a
    // warning for each the library refused.
    std::string text = log.text();
    ASSERT_EQ(text.rfind("Loaded ", 0), 0u) << text;
    size_t loaded = std::stoul(text.substr(7));
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "Loaded " + std::to_string(loaded) + " CAs\n");
    size_t warnings = 0;
    for (size_t at = 0; (at = text.find("WARNING: mbedtls_x509_crt_parse failed\n", at)) != std::string::npos; ++at)
      ++warnings;
    EXPECT_EQ(parsed + warnings, loaded);
  }
  EXPECT_FALSE(chainHolds(loadSystemRootCAs().get(), "ZAV Test CA"));
}

TEST(ParseRootCAs, SkipsCertificatesTheLibraryRefusesWithOneWarningEach) {
  std::string der = readFileBytes(HttpScenarios().file("ca.der"));
  std::vector<unsigned char> good(der.begin(), der.end());
  std::vector<unsigned char> cut(good.begin(), good.begin() + good.size() / 2);
  CapturedDebugLog log;
  CaChain chain = parseRootCAs({cut, {}, good});
  EXPECT_TRUE(chainHolds(chain.get(), "ZAV Test CA"));
  EXPECT_EQ(chain->next, nullptr);
  EXPECT_EQ(log.text(), "WARNING: mbedtls_x509_crt_parse failed\nWARNING: mbedtls_x509_crt_parse failed\n");
  CaChain none = parseRootCAs({cut});
  EXPECT_EQ(none->raw.len, 0u);
}

}  // namespace
