#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "service/HttpResponseParser.h"
#include "tests/service/FailingAllocation.h"
#include "tests/support/HttpScenarios.h"

namespace {

// windowBits: -15 raw deflate, 15 zlib, 31 gzip.
std::string compress(const std::string& data, int windowBits) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, data.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

const std::string text = std::string(300, 'a') + "some text that compresses" + std::string(300, 'b');

std::string response(const std::string& headers, const std::string& body) {
  return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string encoded(const std::string& coding, const std::string& body) {
  return response("Content-Encoding: " + coding + "\r\n", body);
}

// The pieces as a receive step hands them over, then the end of the stream
// (clean or not) unless the outcome came first.
struct Outcome {
  bool atOnce = false;     // the outcome came with a piece, not at the end
  bool delivered = false;  // onComplete
  std::vector<HttpReport> reports;
};

Outcome feed(const std::vector<std::string>& pieces, size_t limit = HttpResponseParser::defaultBodyLimit,
             bool cleanEnd = true) {
  auto listener = std::make_shared<RecordingHttpListener>();
  Outcome outcome;
  {
    HttpResponseParser parser(listener, limit);
    for (const std::string& piece : pieces) {
      if (!parser.receive(piece.data(), piece.size())) {
        outcome.atOnce = true;
        break;
      }
    }
    if (!outcome.atOnce) parser.end(cleanEnd);
    // Nothing more once the outcome is out.
    parser.receive("x", 1);
    parser.end(true);
  }
  outcome.reports = listener->reports();
  outcome.delivered = !outcome.reports.empty() && outcome.reports.back().kind == HttpReport::complete;
  return outcome;
}

std::vector<std::vector<std::string>> splits(const std::string& bytes) {
  std::vector<std::vector<std::string>> ways{{bytes}};
  std::vector<std::string> single;
  for (char c : bytes) single.emplace_back(1, c);
  ways.push_back(single);
  for (size_t at = 1; at < bytes.size(); ++at) ways.push_back({bytes.substr(0, at), bytes.substr(at)});
  return ways;
}

struct ParserCase {
  const char* name;
  std::string bytes;
  bool delivered;
  std::string body;     // when delivered
  uint32_t total;       // announced length in every progress report
  bool refusedAtHeaders; // no progress report at all
  bool needsEnd = false; // the outcome waits for the end of the stream
  bool cleanEnd = true;  // that end is the peer's orderly close (or close_notify)
};

const std::string gzipText = compress(text, 31);

std::string chunk(const std::string& data) {
  char size[16];
  std::snprintf(size, sizeof size, "%zx", data.size());
  return size + std::string("\r\n") + data + "\r\n";
}

const ParserCase parserCases[] = {
    {"ContentLength", response("", "0123456789"), true, "0123456789", 10, false},
    {"UpperCaseNames", "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 4\r\n\r\nabcd", true, "abcd", 4, false},
    {"Chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n6\r\n-chunk\r\n0\r\n\r\n", true,
     "first-chunk", 0, false},
    {"Gzip", encoded("gzip", gzipText), true, text, static_cast<uint32_t>(gzipText.size()), false},
    {"GzipWithExtraByte", encoded("gzip", gzipText + "!"), false, "", static_cast<uint32_t>(gzipText.size() + 1), false},
    {"TruncatedGzip", encoded("gzip", gzipText.substr(0, gzipText.size() - 4)), false, "",
     static_cast<uint32_t>(gzipText.size() - 4), false},
    {"DeflateRaw", encoded("deflate", compress(text, -15)), true, text,
     static_cast<uint32_t>(compress(text, -15).size()), false},
    {"DeflateZlib", encoded("deflate", compress(text, 15)), true, text,
     static_cast<uint32_t>(compress(text, 15).size()), false},
    {"CodingCaseAndBlanksIgnored", encoded(" GZip\t", gzipText), true, text, static_cast<uint32_t>(gzipText.size()),
     false},
    {"Identity", encoded("identity", "plain"), true, "plain", 5, false},
    {"UnknownCodingIsAnError", encoded("br", std::string("\x1b\x00xyz", 5)), false, "", 5, false},
    // Without telling an empty value from a split name, "x-empty" and
    // "content-encoding" run together and the gzip body arrives still packed.
    {"EmptyValueClosesItsHeader", "HTTP/1.1 200 OK\r\nX-Empty:\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                      std::to_string(gzipText.size()) + "\r\n\r\n" + gzipText,
     true, text, static_cast<uint32_t>(gzipText.size()), false},
    {"CloseDelimitedEndsWithStream", "HTTP/1.1 200 OK\r\n\r\nuntil the end", true, "until the end", 0, false, true},
    // A reset, a read error or a TLS stream cut without close_notify may have
    // lost the body's tail: nothing tells a whole body from a cut one.
    {"CloseDelimitedCutOff", "HTTP/1.1 200 OK\r\n\r\nuntil the end", false, "", 0, false, true, false},
    {"CompleteBeforeACutStillCompletes", response("", "0123456789"), true, "0123456789", 10, false, false, false},
    {"TruncatedBody", "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\nonly ten b", false, "", 20, false, true},
    {"BytesAfterCompleteMessage", response("", "hello") + "HTTP/1.1 200 OK\r\n", true, "hello", 5, false},
    {"UnusableLengthReportsZero", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: x\r\n\r\n", false, "",
     0, true},
    {"Status404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnot", false, "", 0, true},
    {"Status301", "HTTP/1.1 301 Moved\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", false, "", 0, true},
    {"LengthAboveLimitRefused", "HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nxx", false, "", 0, true},
    // The refusal comes with the last byte of the headers, with nothing after them.
    {"RefusedAtTheLastByteGiven", "HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\n", false, "", 0, true},
    {"TrailersChangeNothing",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n" + chunk(gzipText) +
         "0\r\nContent-Encoding: identity\r\nX-Sum: 1\r\n\r\n",
     true, text, 0, false},
    {"NotHttp", "SSH-2.0-OpenSSH\r\n\r\n", false, "", 0, true},
};

class ParserTable : public testing::TestWithParam<ParserCase> {};

TEST_P(ParserTable, SameOutcomeWhateverTheSplit) {
  const ParserCase& c = GetParam();
  for (const auto& pieces : splits(c.bytes)) {
    SCOPED_TRACE("pieces: " + std::to_string(pieces.size()) + ", first " + std::to_string(pieces[0].size()));
    Outcome outcome = feed(pieces, HttpResponseParser::defaultBodyLimit, c.cleanEnd);
    ASSERT_FALSE(outcome.reports.empty());
    const HttpReport& last = outcome.reports.back();
    ASSERT_EQ(last.kind, c.delivered ? HttpReport::complete : HttpReport::error);
    EXPECT_EQ(outcome.atOnce, !c.needsEnd);
    if (c.delivered) {
      EXPECT_EQ(last.body, c.body);
    }
    size_t progress = outcome.reports.size() - 1;
    if (c.refusedAtHeaders) {
      EXPECT_EQ(progress, 0u);
      continue;
    }
    ASSERT_GE(progress, 1u);
    uint32_t done = 0;
    for (size_t i = 0; i < progress; ++i) {
      const HttpReport& report = outcome.reports[i];
      ASSERT_EQ(report.kind, HttpReport::progress);
      EXPECT_EQ(report.total, c.total);
      EXPECT_GE(report.done, done);
      EXPECT_LE(report.done, c.total);
      done = report.done;
    }
    EXPECT_EQ(outcome.reports[0].done, 0u);
    if (c.delivered) {
      EXPECT_EQ(done, c.total);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Responses, ParserTable, testing::ValuesIn(parserCases),
                         [](const testing::TestParamInfo<ParserCase>& info) { return info.param.name; });

TEST(HttpResponseParser, ReportsEachBodyPieceAndCompletesAtTheLastByte) {
  auto listener = std::make_shared<RecordingHttpListener>();
  HttpResponseParser parser(listener);
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  EXPECT_TRUE(parser.receive(head.data(), head.size()));
  EXPECT_TRUE(parser.receive("0123", 4));
  EXPECT_FALSE(parser.receive("456789", 6));
  auto reports = listener->reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].done, 0u);
  EXPECT_EQ(reports[1].done, 4u);
  EXPECT_EQ(reports[2].done, 10u);
  EXPECT_EQ(reports[3].kind, HttpReport::complete);
}

TEST(HttpResponseParser, HeadersKeptLowerCasedLaterOneWins) {
  auto listener = std::make_shared<RecordingHttpListener>();
  HttpResponseParser parser(listener);
  std::string bytes = "HTTP/1.1 200 OK\r\nX-Tag: one\r\nx-TAG: two\r\nContent-Length: 0\r\n\r\n";
  ASSERT_FALSE(parser.receive(bytes.data(), bytes.size()));
  EXPECT_EQ(parser.headers().at("x-tag"), "two");
  EXPECT_EQ(parser.headers().count("content-length"), 1u);
}

TEST(HttpResponseParser, BodyBeyondLimitEndsTheDownloadAtOnce) {
  // A chunked body announces nothing, so only the running total can stop it.
  std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string chunks;
  for (int i = 0; i < 3; ++i) chunks += chunk(std::string(64, 'z'));
  // The server stalls just after the limit: the refusal must not wait for the
  // end of the stream, even when the last byte given crosses it.
  for (const auto& pieces : splits(head + chunks + "40\r\n" + std::string(20, 'z'))) {
    SCOPED_TRACE("first piece " + std::to_string(pieces[0].size()));
    Outcome outcome = feed(pieces, 200);
    EXPECT_TRUE(outcome.atOnce);
    EXPECT_EQ(outcome.reports.back().kind, HttpReport::error);
  }
  EXPECT_TRUE(feed({head + chunks + chunk(std::string(64, 'z')) + "0\r\n\r\n"}, 256).delivered);
}

// A peer can announce or send more than the 32-bit client can hold: the
// download fails, the process goes on.
TEST(HttpResponseParser, BodyThatCannotBeAllocatedFailsTheDownload) {
  struct Case {
    const char* name;
    std::string bytes;
    bool atHeaders;
  };
  const std::string big(size_t(1) << 20, 'b');
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t at = 0; at < big.size(); at += 65536) chunked += chunk(big.substr(at, 65536));
  chunked += "0\r\n\r\n";
  const Case cases[] = {
      {"announced length", "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + big.substr(0, 1000), true},
      {"chunked body growing", chunked, false},
      {"decoded body growing", encoded("gzip", compress(big, 31)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < c.bytes.size(); at += 16384) pieces.push_back(c.bytes.substr(at, 16384));
    Outcome outcome;
    {
      LargeAllocationsFail failing(size_t(256) << 10);
      outcome = feed(pieces);
    }
    EXPECT_TRUE(outcome.atOnce);
    ASSERT_FALSE(outcome.reports.empty());
    EXPECT_EQ(outcome.reports.back().kind, HttpReport::error);
    EXPECT_EQ(outcome.reports.size() == 1, c.atHeaders);
  }
}

TEST(HttpResponseParser, DecodedBodyBeyondLimitIsAnError) {
  std::string big(5000, 'q');
  std::string packed = compress(big, 31);
  ASSERT_LT(packed.size(), 1000u);
  Outcome outcome = feed({encoded("gzip", packed)}, 1000);
  EXPECT_FALSE(outcome.delivered);
  EXPECT_EQ(outcome.reports.back().kind, HttpReport::error);
}

}  // namespace
