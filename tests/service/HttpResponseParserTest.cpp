#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "service/HttpResponseParser.h"
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

// What a receive step does with the pieces: execute each, stop at a refusal
// or at the end of the message, hand over the end of the stream otherwise.
struct Outcome {
  bool refused = false;   // fewer bytes consumed before the message ended
  bool delivered = false; // onComplete
  std::vector<HttpReport> reports;
};

Outcome feed(const std::vector<std::string>& pieces, size_t limit = HttpResponseParser::defaultBodyLimit) {
  auto listener = std::make_shared<RecordingHttpListener>();
  Outcome outcome;
  {
    HttpResponseParser parser(listener, limit);
    bool ended = false;
    for (const std::string& piece : pieces) {
      size_t consumed = parser.execute(piece.data(), piece.size());
      if (parser.upgrade() || (!parser.complete() && consumed < piece.size())) {
        outcome.refused = true;
        listener->onError();
        ended = true;
        break;
      }
      if (parser.complete()) {
        outcome.delivered = parser.finish();
        ended = true;
        break;
      }
    }
    if (!ended) {
      parser.endOfStream();
      outcome.delivered = parser.finish();
    }
  }
  outcome.reports = listener->reports();
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
};

const std::string gzipText = compress(text, 31);

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
    {"CloseDelimitedEndsWithStream", "HTTP/1.1 200 OK\r\n\r\nuntil the end", true, "until the end", 0, false},
    {"TruncatedBody", "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\nonly ten b", false, "", 20, false},
    {"BytesAfterCompleteMessage", response("", "hello") + "HTTP/1.1 200 OK\r\n", true, "hello", 5, false},
    {"UnusableLengthReportsZero", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: x\r\n\r\n", false, "",
     0, true},
    {"Status404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnot", false, "", 0, true},
    {"Status301", "HTTP/1.1 301 Moved\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", false, "", 0, true},
    {"LengthAboveLimitRefused", "HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nxx", false, "", 0, true},
    {"NotHttp", "SSH-2.0-OpenSSH\r\n\r\n", false, "", 0, true},
};

class ParserTable : public testing::TestWithParam<ParserCase> {};

TEST_P(ParserTable, SameOutcomeWhateverTheSplit) {
  const ParserCase& c = GetParam();
  for (const auto& pieces : splits(c.bytes)) {
    SCOPED_TRACE("pieces: " + std::to_string(pieces.size()) + ", first " + std::to_string(pieces[0].size()));
    Outcome outcome = feed(pieces);
    ASSERT_FALSE(outcome.reports.empty());
    const HttpReport& last = outcome.reports.back();
    ASSERT_EQ(last.kind, c.delivered ? HttpReport::complete : HttpReport::error);
    EXPECT_EQ(outcome.delivered, c.delivered);
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
  parser.execute(head.data(), head.size());
  parser.execute("0123", 4);
  EXPECT_FALSE(parser.complete());
  parser.execute("456789", 6);
  EXPECT_TRUE(parser.complete());
  auto reports = listener->reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].done, 0u);
  EXPECT_EQ(reports[1].done, 4u);
  EXPECT_EQ(reports[2].done, 10u);
}

TEST(HttpResponseParser, HeadersKeptLowerCasedLaterOneWins) {
  auto listener = std::make_shared<RecordingHttpListener>();
  HttpResponseParser parser(listener);
  std::string bytes = "HTTP/1.1 200 OK\r\nX-Tag: one\r\nx-TAG: two\r\nContent-Length: 0\r\n\r\n";
  parser.execute(bytes.data(), bytes.size());
  ASSERT_TRUE(parser.complete());
  EXPECT_EQ(parser.headers().at("x-tag"), "two");
  EXPECT_EQ(parser.headers().count("content-length"), 1u);
}

TEST(HttpResponseParser, BodyBeyondLimitEndsTheDownload) {
  // A chunked body announces nothing, so only the running total can stop it.
  std::string chunk(64, 'z');
  std::string bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 4; ++i) bytes += "40\r\n" + chunk + "\r\n";
  bytes += "0\r\n\r\n";
  Outcome outcome = feed({bytes}, 200);
  EXPECT_TRUE(outcome.refused);
  EXPECT_EQ(outcome.reports.back().kind, HttpReport::error);
  EXPECT_TRUE(feed({bytes}, 256).delivered);
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
